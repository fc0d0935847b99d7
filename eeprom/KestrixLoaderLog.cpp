// CKestrixLoader: the microcode's printf log, the BSI secure scratch dump and
// the load report of the verbose mode.

#include "eeprom/KestrixLoader.h"

#include "core/Range.h"
#include "core/TextHelpers.h"

#include <iostream>
#include <sstream>

namespace
{
constexpr uint32_t kPrintfFlagMask = 0x1FFFF;
constexpr uint32_t kPrintfWrapped = 1u << 0;
constexpr uint32_t kPrintfHasText = 1u << 1;
constexpr uint32_t kScratchBytes = 64;

std::string Hex8(uint32_t value)
{
    return "0x" + ToHex(value, 8);
}

std::string Byte(uint8_t value)
{
    return ToHex(value, 2);
}
} // namespace

std::vector<uint8_t> CKestrixLoader::ReadDmemBytes(uint32_t offset, uint32_t count)
{
    std::vector<uint32_t> words((count + 3) / 4);
    if (!IsReady())
    {
        return std::vector<uint8_t>(count, 0);
    }
    ReadMemory(kKestrixDmem, offset, words, *m_adapter);
    std::vector<uint8_t> bytes(words.size() * 4);
    for (size_t i = 0; i < words.size(); ++i)
    {
        KestrixPutWord(bytes, i * 4, words[i]);
    }
    bytes.resize(count);
    return bytes;
}

void CKestrixLoader::GetLog(bool secureScratch)
{
    if (!m_adapter || !image.mapper)
    {
        return;
    }
    if (secureScratch)
    {
        ShowSecureScratch();
    }
    const uint32_t headerOffset = image.mapper->printfHeaderOffset;
    if (headerOffset == 0)
    {
        return;
    }
    std::vector<uint32_t> header(kPrintfHeaderWords);
    ReadMemory(kKestrixDmem, headerOffset, header, *m_adapter);
    const uint32_t flags = header[3] & kPrintfFlagMask;
    const uint32_t writeOffset = header[0];
    const uint32_t ring = header[1];
    const uint32_t ringSize = header[2];
    const uint32_t length = (flags & kPrintfWrapped) ? ringSize : writeOffset;
    if (!(flags & kPrintfHasText) || length == 0)
    {
        return;
    }
    // The ring and the write offset come from the microcode: they must lie
    // inside its data memory before a byte of the ring is read.
    const uint32_t memory = m_engineDmemSize != 0 ? m_engineDmemSize : image.dmemSize;
    if (!RangeFits(ring, ringSize, memory) || writeOffset > ringSize)
    {
        Show(" uCode printf header is out of range");
        return;
    }
    const std::vector<uint8_t> bytes = ReadDmemBytes(ring, ringSize);
    std::string text;
    if (flags & kPrintfWrapped)
    {
        text.assign(bytes.begin() + writeOffset, bytes.end());
        text.append(bytes.begin(), bytes.begin() + writeOffset);
    }
    else
    {
        text.assign(bytes.begin(), bytes.begin() + writeOffset);
    }
    text.resize(length);

    header[0] = 0;
    header[3] = 0;
    WriteMemory(kKestrixDmem, headerOffset, 16, header, *m_adapter);
    m_adapter->Write32(m_registers.mailbox1,
                       m_adapter->Read32(m_registers.mailbox1) & ~kKestrixPrintfPending);
    const std::string message =
        "**** uCode printf log: ****\n" + text + "\n **** uCode printf log End ****\n";
    if (m_userInterface)
    {
        m_userInterface->ShowMessage(1, message);
    }
    else
    {
        *::GetLog() << LogLevel(3) << message << LogEndl;
    }
}

void CKestrixLoader::ShowSecureScratch()
{
    const uint32_t result = SendCommand(KR_UCODE_CMD_COMMAND_BSI_INFO);
    if (result != 0)
    {
        DecodeErrorCode(KR_UCODE_CMD_COMMAND_BSI_INFO, result);
        return;
    }
    const std::vector<uint8_t> area =
        ReadDmemBytes(image.mapper->rmv_img_data_buffer_offset, kScratchBytes);
    std::ostringstream out;
    out << " BSI_RAM_SECURE_SCRATCH  Struct: \n";
    out << "        identifier: " << ToHex(KestrixWordAt(area, 60), 8) << "\n";
    out << "           version: " << Byte(area[59]) << "\n";
    out << "              size: " << Byte(area[58]) << "\n";
    out << "             rsvd2: ";
    for (size_t i = 40; i <= 57; ++i)
    {
        out << Byte(area[i]) << " ";
    }
    out << "\n      gfwSecStatus: " << Byte(area[39]) << Byte(area[38]) << "\n";
    out << "     gfwSecScratch: " << Byte(area[37]) << Byte(area[36]) << "\n";
    out << "     vprMaxEndAddr: " << ToHex(KestrixWordAt(area, 28), 8) << "\n";
    out << "   vprMinStartAddr: " << ToHex(KestrixWordAt(area, 24), 8) << "\n";
    out << "  varnexEndOffset: " << ToHex(KestrixWordAt(area, 20), 8) << "\n";
    out << "varnexStartOffset: " << ToHex(KestrixWordAt(area, 16), 8) << "\n";
    out << "             rsvd1: ";
    for (size_t i = 15; i >= 1; --i)
    {
        out << Byte(area[i]);
    }
    out << "\n          checksum: " << Byte(area[0]) << "\n\n";
    out << " BRSS Area RAW Dump ( low to high address in BSI ): \n";
    for (size_t i = 0; i < area.size(); ++i)
    {
        out << Byte(area[i]) << " " << ((i % 16 == 15) ? "\n" : "");
    }
    std::cout << out.str() << std::flush;
}

std::string CKestrixLoader::DmemText(uint32_t offset)
{
    std::string text;
    for (uint32_t at = offset; at < image.data.size() && image.data[at] != 0; ++at)
    {
        text.push_back(static_cast<char>(image.data[at]));
    }
    return text;
}

std::string CKestrixLoader::ComposeLoadReport()
{
    std::ostringstream out;
    out << "Kestrix IMEM size = " << Hex8(m_engineImemSize)
        << "  DMEM Size = " << Hex8(m_engineDmemSize) << "\n";
    if (m_engineType == KESTRIX_PMU_ATTACH && m_loadStatus != KESTRIX_IMAGE_OK)
    {
        out << "Error Code: KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND.  Attach mode, DMAPPER not "
               "found.\n\n";
        return out.str();
    }
    const std::optional<KestrixDmemMapper>& mapper = image.mapper;
    const bool alternate =
        mapper && mapper->version == 3 && (mapper->ucodeFeature & kUcodeFeatureAlternateSignatures);
    out << "Image  IMEM size = " << Hex8(image.imemSize) << "  DMEM Size = " << Hex8(image.dmemSize)
        << "\n\n";
    out << "Sec start = " << Hex8(image.secureStart) << "  Sec end = " << Hex8(image.secureEnd);
    if (alternate)
    {
        out << " Alt Sec Size = " << Hex8(image.alternateSecureSize)
            << " Entire Sec Size = " << Hex8(image.entireSecureSize)
            << " Alt DMEM Size = " << Hex8(image.alternateDmemSize);
    }
    out << "\nuCode Load Type: " << KestrixEngineName(m_engineType) << " ";
    out << "\nuCode load style: " << (m_userImageMode == 1 ? " Alternate " : " Normal");
    if (image.secure)
    {
        out << " - signed uCode section";
    }
    if (!mapper)
    {
        return out.str() + "\n";
    }
    out << "\nKestrix DMEM Map: \n  dmapper structure version: " << mapper->version << "\n";
    if (mapper->IsExtended())
    {
        out << "  uCode Build Date and Time: "
            << DmemText(KestrixWordAt(image.data, mapper->buildStampOffset)) << ",  "
            << DmemText(KestrixWordAt(image.data, mapper->buildStampOffset + 4)) << "\n";
        const auto signature = [&](const char* label, uint32_t area, uint32_t half)
        {
            const uint32_t at = KestrixWordAt(image.data, mapper->signatureTableOffset + 4 * area) +
                                half * kSignatureSize;
            out << label;
            for (uint32_t word = 0; word < 4; ++word)
            {
                out << (word ? " 0x" : "") << ToHex(KestrixWordAt(image.data, at + 4 * word), 8);
            }
            out << "\n";
        };
        signature("  uCode Prod Signature     : 0x", 0, 0);
        signature("  uCode Debug Signature    : 0x", 0, 1);
        if (alternate)
        {
            signature("  uCode Alt Prod Sig       : 0x", 1, 0);
            signature("  uCode Alt Debug Sig      : 0x", 1, 1);
        }
    }
    out << "  cmd_in_buffer_offset = " << Hex8(mapper->cmd_in_buffer_offset) << "\n";
    out << "  cmd_in_buffer_size = " << Hex8(mapper->cmd_in_buffer_size) << "\n";
    out << "  cmd_out_buffer_offset = " << Hex8(mapper->cmd_out_buffer_offset) << "\n";
    out << "  cmd_out_buffer_size = " << Hex8(mapper->cmd_out_buffer_size) << "\n";
    out << "  rmv_img_data_buffer_offset = " << Hex8(mapper->rmv_img_data_buffer_offset) << "\n";
    out << "  rmv_img_data_buffer_size = " << Hex8(mapper->rmv_img_data_buffer_size) << "\n";
    if (mapper->printfHeaderOffset != 0)
    {
        const uint32_t at = mapper->printfHeaderOffset;
        out << "  uCode printf pBuffer_offset = " << Hex8(KestrixWordAt(image.data, at + 4))
            << "  pBuffer_size = " << Hex8(KestrixWordAt(image.data, at + 8))
            << "  uCode printf offset = " << Hex8(KestrixWordAt(image.data, at))
            << "  Flag = " << Hex8(KestrixWordAt(image.data, at + 12)) << "\n";
    }
    if (mapper->version == 3)
    {
        out << "  command mask0 = " << Hex8(mapper->commandMask0)
            << "   command mask1 = " << Hex8(mapper->commandMask1)
            << "  ucode_feature = " << Hex8(mapper->ucodeFeature)
            << "  MultiTgtTbl offset = " << Hex8(mapper->targetRecordOffset) << "\n";
    }
    return out.str();
}
