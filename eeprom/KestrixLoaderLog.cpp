// CKestrixLoader: the microcode's printf log, the BSI secure scratch dump and
// the load report of the console mode.

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
    out << "           version: " << ToHex(area[59], 2) << "\n";
    out << "              size: " << ToHex(area[58], 2) << "\n";
    out << "             rsvd2: ";
    for (size_t i = 40; i <= 57; ++i)
    {
        out << ToHex(area[i], 2) << " ";
    }
    out << "\n      gfwSecStatus: " << ToHex(area[39], 2) << ToHex(area[38], 2) << "\n";
    out << "     gfwSecScratch: " << ToHex(area[37], 2) << ToHex(area[36], 2) << "\n";
    out << "     vprMaxEndAddr: " << ToHex(KestrixWordAt(area, 28), 8) << "\n";
    out << "   vprMinStartAddr: " << ToHex(KestrixWordAt(area, 24), 8) << "\n";
    out << "  varnexEndOffset: " << ToHex(KestrixWordAt(area, 20), 8) << "\n";
    out << "varnexStartOffset: " << ToHex(KestrixWordAt(area, 16), 8) << "\n";
    out << "             rsvd1: ";
    for (size_t i = 15; i >= 1; --i)
    {
        out << ToHex(area[i], 2);
    }
    out << "\n          checksum: " << ToHex(area[0], 2) << "\n\n";
    out << " BRSS Area RAW Dump ( low to high address in BSI ): \n";
    for (size_t i = 0; i < area.size(); ++i)
    {
        out << ToHex(area[i], 2) << " " << ((i % 16 == 15) ? "\n" : "");
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

// The image's memory sizes and secure section, and how it was loaded.
void CKestrixLoader::ComposeImageLayout(std::ostream& out, bool alternate)
{
    out << "Image  IMEM size = " << ToHexString(image.imemSize, 8)
        << "  DMEM Size = " << ToHexString(image.dmemSize, 8) << "\n\n";
    out << "Sec start = " << ToHexString(image.secureStart, 8)
        << "  Sec end = " << ToHexString(image.secureEnd, 8);
    if (alternate)
    {
        out << " Alt Sec Size = " << ToHexString(image.alternateSecureSize, 8)
            << " Entire Sec Size = " << ToHexString(image.entireSecureSize, 8)
            << " Alt DMEM Size = " << ToHexString(image.alternateDmemSize, 8);
    }
    out << "\nuCode Load Type: " << KestrixEngineName(m_engineType) << " ";
    out << "\nuCode load style: " << (m_userImageMode == 1 ? " Alternate " : " Normal");
    if (image.secure)
    {
        out << " - signed uCode section";
    }
}

// An extended mapper's build stamp and signatures, the alternate ones too
// when the image carries them.
void CKestrixLoader::ComposeBuildAndSignatures(std::ostream& out, const KestrixDmemMapper& mapper,
                                               bool alternate)
{
    out << "  uCode Build Date and Time: "
        << DmemText(KestrixWordAt(image.data, mapper.buildStampOffset)) << ",  "
        << DmemText(KestrixWordAt(image.data, mapper.buildStampOffset + 4)) << "\n";
    const auto signature = [&](const char* label, uint32_t area, uint32_t half)
    {
        const uint32_t at = KestrixWordAt(image.data, mapper.signatureTableOffset + 4 * area) +
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

// The mapper's buffers, its printf header and, for version 3, its masks.
void CKestrixLoader::ComposeMapperBuffers(std::ostream& out, const KestrixDmemMapper& mapper)
{
    const auto line = [&](const char* name, uint32_t value)
    { out << "  " << name << " = " << ToHexString(value, 8) << "\n"; };
    line("cmd_in_buffer_offset", mapper.cmd_in_buffer_offset);
    line("cmd_in_buffer_size", mapper.cmd_in_buffer_size);
    line("cmd_out_buffer_offset", mapper.cmd_out_buffer_offset);
    line("cmd_out_buffer_size", mapper.cmd_out_buffer_size);
    line("rmv_img_data_buffer_offset", mapper.rmv_img_data_buffer_offset);
    line("rmv_img_data_buffer_size", mapper.rmv_img_data_buffer_size);
    if (mapper.printfHeaderOffset != 0)
    {
        const uint32_t at = mapper.printfHeaderOffset;
        out << "  uCode printf pBuffer_offset = "
            << ToHexString(KestrixWordAt(image.data, at + 4), 8)
            << "  pBuffer_size = " << ToHexString(KestrixWordAt(image.data, at + 8), 8)
            << "  uCode printf offset = " << ToHexString(KestrixWordAt(image.data, at), 8)
            << "  Flag = " << ToHexString(KestrixWordAt(image.data, at + 12), 8) << "\n";
    }
    if (mapper.version == 3)
    {
        out << "  command mask0 = " << ToHexString(mapper.commandMask0, 8)
            << "   command mask1 = " << ToHexString(mapper.commandMask1, 8)
            << "  ucode_feature = " << ToHexString(mapper.ucodeFeature, 8)
            << "  MultiTgtTbl offset = " << ToHexString(mapper.targetRecordOffset, 8) << "\n";
    }
}

std::string CKestrixLoader::ComposeLoadReport()
{
    std::ostringstream out;
    out << "Kestrix IMEM size = " << ToHexString(m_engineImemSize, 8)
        << "  DMEM Size = " << ToHexString(m_engineDmemSize, 8) << "\n";
    if (m_engineType == KESTRIX_PMU_ATTACH && m_loadStatus != KESTRIX_IMAGE_OK)
    {
        out << "Error Code: KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND.  Attach mode, DMAPPER not "
               "found.\n\n";
        return out.str();
    }
    const std::optional<KestrixDmemMapper>& mapper = image.mapper;
    const bool alternate =
        mapper && mapper->version == 3 && (mapper->ucodeFeature & kUcodeFeatureAlternateSignatures);
    ComposeImageLayout(out, alternate);
    if (!mapper)
    {
        return out.str() + "\n";
    }
    out << "\nKestrix DMEM Map: \n  dmapper structure version: " << mapper->version << "\n";
    if (mapper->IsExtended())
    {
        ComposeBuildAndSignatures(out, *mapper, alternate);
    }
    ComposeMapperBuffers(out, *mapper);
    return out.str();
}
