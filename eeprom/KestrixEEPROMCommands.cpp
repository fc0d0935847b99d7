// CKestrixLoader: the microcode's EEPROM commands and the ECID read. Bulk
// transfers are cut into chunks that fit the microcode's image data buffer.

#include "eeprom/KestrixLoader.h"

#include "core/TextHelpers.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr uint16_t kPartBlockEnd = 0x4001;
constexpr size_t kPartBlockWords = 7;
constexpr uint32_t kBadParameter = 8; // CMD_UNSUPPORTED_PARAMETER
const char* const kRunEidFirst = "Please run KR_UCODE_CMD_COMMAND_EID ( EEPROM ID ) first.";

} // namespace

void CKestrixLoader::WriteArguments(std::span<const uint32_t> words)
{
    if (!IsReady())
    {
        return;
    }
    WriteMemory(kKestrixDmem, image.mapper->cmd_in_buffer_offset,
                static_cast<uint32_t>(words.size() * 4), words, *m_adapter);
}

void CKestrixLoader::WriteDataBuffer(std::span<const uint8_t> bytes)
{
    if (!IsReady())
    {
        return;
    }
    const std::vector<uint32_t> words = KestrixWordsOf(bytes);
    WriteMemory(kKestrixDmem, image.mapper->rmv_img_data_buffer_offset,
                static_cast<uint32_t>(bytes.size()), words, *m_adapter);
}

uint32_t CKestrixLoader::ReadResultWord()
{
    uint32_t word = 0;
    if (!IsReady())
    {
        return word;
    }
    ReadMemory(kKestrixDmem, image.mapper->cmd_out_buffer_offset, {&word, 1}, *m_adapter);
    return word;
}

uint32_t CKestrixLoader::GetDataBufferSize() const
{
    return image.mapper ? image.mapper->rmv_img_data_buffer_size : 0;
}

uint32_t CKestrixLoader::SendAndReport(uint32_t id)
{
    const uint32_t result = SendCommand(id);
    if (result != 0)
    {
        DecodeErrorCode(id, result);
    }
    return result;
}

bool CKestrixLoader::GuardIdentified(const std::string& firstLine)
{
    if (m_partBlock)
    {
        return true;
    }
    const auto show = [&](const std::string& text)
    {
        if (m_userInterface)
        {
            m_userInterface->ShowMessage(1, text);
        }
        else
        {
            Show(text);
        }
    };
    if (!firstLine.empty())
    {
        show(firstLine);
    }
    show(kRunEidFirst);
    return false;
}

uint32_t CKestrixLoader::IdentifyEEPROM()
{
    const uint32_t eid = SendAndReport(KR_UCODE_CMD_COMMAND_EID);
    if (eid != 0)
    {
        return eid;
    }
    m_eepromId = ReadResultWord();
    PreparePartBlock();
    return SendCommand(KR_UCODE_CMD_COMMAND_ESI);
}

void CKestrixLoader::PreparePartBlock()
{
    IEEPROMDatabase* catalogue = m_eepromDatabase ? m_eepromDatabase.get() : GetEEPROMDatabase();
    m_part = catalogue->GetEEPROMType(GetEEPROMManufacturerID(), GetEEPROMDeviceID());
    std::array<uint16_t, 14> block{};
    const std::array<uint16_t, 13> parameters = m_part.GetParameterWords();
    std::copy(parameters.begin(), parameters.end(), block.begin());
    block[13] = kPartBlockEnd;
    m_partBlock = block;
    std::array<uint32_t, kPartBlockWords> words{};
    for (size_t i = 0; i < kPartBlockWords; ++i)
    {
        words[i] = uint32_t{block[2 * i]} | uint32_t{block[2 * i + 1]} << 16;
    }
    WriteArguments(words);
}

uint32_t CKestrixLoader::EraseSectors(uint32_t address, uint32_t blockCount)
{
    if (!GuardIdentified("Before running KR_UCODE_CMD_COMMAND_ESE ( Sector Erase ) command"))
    {
        return kKestrixNotIdentified;
    }
    const uint32_t blockSize = m_part.KbytesPerBlock * 1024u;
    uint32_t result = 0;
    for (uint32_t block = 0; block < blockCount; ++block)
    {
        const uint32_t arguments[] = {address};
        WriteArguments(arguments);
        result = SendAndReport(KR_UCODE_CMD_COMMAND_ESE);
        if (result != 0)
        {
            break;
        }
        address += blockSize;
    }
    return result;
}

uint32_t CKestrixLoader::EraseChip()
{
    if (!GuardIdentified("Before running KR_UCODE_CMD_COMMAND_ECE (Chip Erase) command"))
    {
        return kKestrixNotIdentified;
    }
    return SendAndReport(KR_UCODE_CMD_COMMAND_ECE);
}

uint32_t CKestrixLoader::ReadEEPROM(uint32_t address, std::span<uint8_t> destination)
{
    if (!GuardIdentified("Before running KR_UCODE_CMD_COMMAND_ERD ( Read EEPROM) command"))
    {
        return kKestrixNotIdentified;
    }
    // Reads move whole erase blocks: a buffer that cannot hold one would
    // never make progress.
    const uint32_t blockSize = m_part.KbytesPerBlock * 1024u;
    const uint32_t chunkLimit = blockSize == 0 ? 0 : GetDataBufferSize() / blockSize * blockSize;
    if (chunkLimit == 0 && !destination.empty())
    {
        Show(" Kestrix image data buffer (0x" + ToHex(GetDataBufferSize(), 8) +
             " bytes) is smaller than one EEPROM erase block (0x" + ToHex(blockSize, 8) +
             " bytes)");
        return kBadParameter;
    }
    uint32_t result = 0;
    for (size_t done = 0; done < destination.size();)
    {
        const auto chunk =
            static_cast<uint32_t>(std::min<size_t>(destination.size() - done, chunkLimit));
        const uint32_t arguments[] = {address, chunk};
        WriteArguments(arguments);
        result = SendAndReport(KR_UCODE_CMD_COMMAND_ERD);
        if (result != 0)
        {
            break;
        }
        const std::vector<uint8_t> bytes =
            ReadDmemBytes(image.mapper->rmv_img_data_buffer_offset, chunk);
        std::copy(bytes.begin(), bytes.end(), destination.begin() + static_cast<ptrdiff_t>(done));
        done += chunk;
        address += chunk;
    }
    return result;
}

uint32_t CKestrixLoader::ProgramEEPROM(uint32_t address, std::span<const uint8_t> source,
                                       uint32_t flags)
{
    if (!GuardIdentified("Before running KR_UCODE_CMD_COMMAND_EWR ( Program EEPROM ) command"))
    {
        return kKestrixNotIdentified;
    }
    const uint32_t bufferSize = GetDataBufferSize();
    if (bufferSize == 0 && !source.empty())
    {
        Show(" Kestrix image data buffer is empty");
        return kBadParameter;
    }
    uint32_t result = 0;
    for (size_t done = 0; done < source.size();)
    {
        const auto chunk =
            static_cast<uint32_t>(std::min<size_t>(source.size() - done, bufferSize));
        WriteDataBuffer(source.subspan(done, chunk));
        const uint32_t arguments[] = {address, chunk, flags};
        WriteArguments(arguments);
        result = SendAndReport(KR_UCODE_CMD_COMMAND_EWR);
        if (result != 0)
        {
            break;
        }
        done += chunk;
        address += chunk;
    }
    return result;
}

uint32_t CKestrixLoader::SetProtection(uint32_t state)
{
    if (!GuardIdentified(""))
    {
        return kKestrixNotIdentified;
    }
    const uint32_t arguments[] = {state};
    WriteArguments(arguments);
    return SendAndReport(KR_UCODE_CMD_COMMAND_EPROT);
}

uint32_t CKestrixLoader::ReadStatusRegister(uint32_t index, uint32_t& value)
{
    if (!GuardIdentified(""))
    {
        return kKestrixNotIdentified;
    }
    const uint32_t arguments[] = {index};
    WriteArguments(arguments);
    const uint32_t result = SendAndReport(KR_UCODE_CMD_COMMAND_ERDSR);
    if (result == 0)
    {
        value = ReadResultWord();
    }
    return result;
}

uint32_t CKestrixLoader::ReadECID(std::span<uint8_t, 32> destination, uint32_t kind)
{
    const uint32_t arguments[] = {kind};
    WriteArguments(arguments);
    const uint32_t result = SendAndReport(KR_UCODE_CMD_COMMAND_ECID);
    if (result != 0)
    {
        return result;
    }
    const uint32_t count = kind == 1 ? 32 : (kind == 2 || kind == 3) ? 16 : 0;
    const std::vector<uint8_t> bytes = ReadDmemBytes(image.mapper->cmd_out_buffer_offset, count);
    std::copy(bytes.begin(), bytes.end(), destination.begin());
    return 0;
}
