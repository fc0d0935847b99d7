// CKestrixLoader: the debug console's commands: raw microcode EEPROM commands,
// memory dumps and writes, the DMEM map, register access directly and through
// the microcode, the in-circuit debugger, an I2C read and the verification.

#include "eeprom/KestrixLoader.h"

#include "core/Range.h"
#include "core/UserFile.h"

#include <algorithm>
#include <iterator>

namespace
{
constexpr uint32_t kIdMask = 0x0FFFFFFF;
constexpr uint32_t kStatusNew = 0x10000000;
constexpr uint32_t kIcdReadRegister = 8;
constexpr uint32_t kIcdReady = 1u << 15;
constexpr uint32_t kIcdPolls = 5;
constexpr uint32_t kIcdPollDelay = 10;
constexpr uint32_t kIcdRegisterCount = 29;

const char* const kIcdNames[kIcdRegisterCount] = {
    "R0",  "R1",  "R2",  "R3",  "R4",  "R5",  "R6",  "R7",  "R8",    "R9",
    "R10", "R11", "R12", "R13", "R14", "R15", "IV0", "IV1", nullptr, "EV",
    "SP",  "PC",  "IMB", "DMB", "CSW", "CCR", "SEC", "CTX", "EXCI"};

struct IcdSelector
{
    const char* name;
    uint32_t mask;
};
constexpr IcdSelector kIcdSelectors[] = {
    {"all", 0x1FFBFFFF}, {"gp", 0xFFFF}, {"spr", 0x1FFB0000}, {"pc", 0x200000}};

// Tokens each raw command needs, its name and the command whose absence
// stops it.
struct RawCommand
{
    uint32_t id;
    size_t tokens;
    const char* name;
    const char* missingLine; // null: only the second line
};
constexpr RawCommand kRawCommands[] = {
    {2, 2, "EID", nullptr},
    {3, 2, "ESI", "Before running KR_UCODE_CMD_COMMAND_ESI (id = 3) command,\n"},
    {4, 4, "ERD", "Before running KR_UCODE_CMD_COMMAND_ERD (id = 4) command,\n"},
    {5, 4, "EWR", "Before running KR_UCODE_CMD_COMMAND_EWR (id = 5) command,\n"},
    {6, 3, "ESE", "Before running KR_UCODE_CMD_COMMAND_ESE (id = 6) command,\n"},
    {7, 2, "ECE", nullptr},
    {12, 3, "EPROT", "Before running KR_UCODE_CMD_COMMAND_EPROT (id = c) command,\n"},
    {13, 3, "ERDSR", "Before running KR_UCODE_CMD_COMMAND_ERDSR (id = d) command,\n"},
};

const RawCommand* FindRawCommand(uint32_t id)
{
    for (const RawCommand& command : kRawCommands)
    {
        if (command.id == id)
        {
            return &command;
        }
    }
    return nullptr;
}

// Words of the image data buffer a transfer of `size` bytes moves.
uint32_t TransferWords(uint32_t size, uint32_t bufferSize)
{
    return size < bufferSize ? (size + 3) / 4 : bufferSize / 4;
}
} // namespace

// ---- cmd -------------------------------------------------------------------

void CKestrixLoader::ConsoleCmd()
{
    const uint32_t id = m_tokens.size() >= 2 ? TokenNumber(1) : 0;
    if (id <= 1)
    {
        ConsolePrint("\n Command_ID %x is not valid to send \n", id);
        return;
    }
    const RawCommand* command = FindRawCommand(id);
    if (!command)
    {
        ConsolePrint("\n Command_ID %x is not supported \n", id);
        return;
    }
    if (id == KR_UCODE_CMD_COMMAND_ESI && m_eepromId == 0)
    {
        ConsolePrint("%s", command->missingLine);
        ConsolePrint("Please run KR_UCODE_CMD_COMMAND_EID (id = 2 ) first. \n");
        return;
    }
    if (id > KR_UCODE_CMD_COMMAND_ESI && !m_partBlock)
    {
        if (command->missingLine)
        {
            ConsolePrint("%s", command->missingLine);
        }
        ConsolePrint("Please run KR_UCODE_CMD_COMMAND_ESI (id = 3 ) first. \n");
        return;
    }
    if (m_tokens.size() < command->tokens)
    {
        PrintHelpOf("cmd");
        return;
    }
    if (!IsReady())
    {
        ConsolePrint(" No microcode is running\n");
        return;
    }
    std::vector<uint32_t> arguments;
    if (!PrepareConsoleCommand(id, arguments))
    {
        return;
    }
    ConsolePrint("\n Sent Command_ID %x to Kestrix.. \n", (id & kIdMask) | kStatusNew);
    SendCommand(id);
    if ((m_adapter->Read32(m_registers.mailbox0) >> 28) == KR_UCODE_CMD_STS_COMPLETE)
    {
        ShowConsoleCommandResult(id, arguments);
    }
}

bool CKestrixLoader::PrepareConsoleCommand(uint32_t id, std::vector<uint32_t>& arguments)
{
    const uint32_t bufferSize = GetDataBufferSize();
    switch (id)
    {
    case KR_UCODE_CMD_COMMAND_ESI:
    {
        PreparePartBlock();
        const auto& block = *m_partBlock;
        ConsolePrint("PEEPROM_RECORD Struct:\n");
        ConsolePrint(" mfgID=%x \n devID=%x \n bytesPerPage=%x \n kiloBytesPerPage=%x \n "
                     "eraseRequired=%x\n",
                     block[0], block[1], block[2], block[3], block[4]);
        ConsolePrint(" serial=%x \n sizeDepthKBits=%x \n sizeWidthBits=%x \n chipEraseCommand=%x "
                     "\n blockEraseCommand=%x\n",
                     block[5], block[6], block[7], block[8], block[9]);
        ConsolePrint(" writeProtectMask=%x \n writeProtectOff=%x \n featureFlag=%x \n", block[10],
                     block[11], block[12]);
        const uint32_t flashKbytes = m_part.SizeDepthInKbit / 8u;
        const uint32_t sector = m_part.KbytesPerBlock;
        // A part without block erase has no sectors to count.
        ConsolePrint("\n Flash size = %dk, Sector size = %dk, Total sectors = %d \n", flashKbytes,
                     sector, sector ? flashKbytes / sector : 0u);
        return true;
    }
    case KR_UCODE_CMD_COMMAND_ERD:
        arguments = {TokenNumber(2), TokenNumber(3)};
        break;
    case KR_UCODE_CMD_COMMAND_EWR:
    {
        UserFileContents file = ReadUserFile(m_tokens[3], UserFileFormat::kFlashData);
        if (!file.Read())
        {
            ConsolePrint("file %s don't exist", m_tokens[3].c_str());
            return false;
        }
        std::vector<uint8_t> bytes = std::move(file.bytes);
        const uint32_t words = TransferWords(
            static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX)), bufferSize);
        // The bytes after the file's end that fill its last word are erased
        // flash.
        bytes.resize(size_t{words} * 4, 0xFF);
        WriteDataBuffer(bytes);
        ConsolePrint(" startAddress = %x, bytes = %d\n", TokenNumber(2), words * 4);
        arguments = {TokenNumber(2), words * 4, 0};
        break;
    }
    case KR_UCODE_CMD_COMMAND_ESE:
    {
        const uint32_t sector = TokenNumber(2);
        const uint32_t flashKbytes = m_part.SizeDepthInKbit / 8u;
        const uint32_t sectorKbytes = m_part.KbytesPerBlock;
        const uint32_t total = sectorKbytes ? flashKbytes / sectorKbytes : 0;
        ConsolePrint(" Flash size = %dk, Sector size = %dk, Total sectors = %d \n", flashKbytes,
                     sectorKbytes, total);
        if (sector >= total)
        {
            return false;
        }
        arguments = {sectorKbytes * sector * 1024u};
        break;
    }
    case KR_UCODE_CMD_COMMAND_EPROT:
        arguments = {TokenNumber(2)};
        ConsolePrint("  Set swProtectState = %08x \n", arguments[0]);
        break;
    case KR_UCODE_CMD_COMMAND_ERDSR:
        arguments = {TokenNumber(2)};
        ConsolePrint("  Set regIdx = %08x \n", arguments[0]);
        break;
    default:
        break;
    }
    if (!arguments.empty())
    {
        WriteArguments(arguments);
    }
    return true;
}

void CKestrixLoader::ShowConsoleCommandResult(uint32_t id, const std::vector<uint32_t>& arguments)
{
    if (id == KR_UCODE_CMD_COMMAND_EID)
    {
        m_eepromId = ReadResultWord();
        ConsolePrint("devID=%x, mfgID=%x \n", m_eepromId >> 16, m_eepromId & 0xFFFF);
    }
    else if (id == KR_UCODE_CMD_COMMAND_ERD)
    {
        const uint32_t words = TransferWords(arguments[1], GetDataBufferSize());
        const std::vector<uint8_t> bytes =
            ReadDmemBytes(image.mapper->rmv_img_data_buffer_offset, words * 4);
        ConsolePrint("\n Display image data read from EEPROM\n    ");
        for (size_t i = 0; i < bytes.size(); ++i)
        {
            if (i % 16 == 0)
            {
                ConsolePrint("\n    ");
            }
            ConsolePrint("%02x ", bytes[i]);
        }
    }
    else if (id == KR_UCODE_CMD_COMMAND_ERDSR)
    {
        ConsolePrint("status[%d] = %02x\n", arguments[0], ReadResultWord());
    }
    ConsolePrint("\ncommand KR_UCODE_CMD_COMMAND_%s completed\n", FindRawCommand(id)->name);
}

// ---- memories ----------------------------------------------------------------

void CKestrixLoader::DumpWords(const char* title, uint32_t address,
                               const std::vector<uint32_t>& words)
{
    ConsolePrint(title, address, static_cast<uint32_t>(words.size()));
    ConsolePrint("  Offset:     0         4         8         C \n");
    ConsolePrint("Address:\n");
    for (size_t k = 0; k < words.size(); ++k)
    {
        if (k % 4 == 0)
        {
            ConsolePrint("\n0x%04x :   ", static_cast<uint32_t>(address + 4 * k));
        }
        ConsolePrint("%08x  ", words[k]);
    }
    ConsolePrint("\n");
}

void CKestrixLoader::DumpMemory(uint32_t kind)
{
    uint32_t& remembered = kind == kKestrixDmem ? m_dmemDumpLength : m_imemDumpLength;
    uint32_t address = m_tokens.size() >= 2 ? TokenNumber(1) : 0;
    if (m_tokens.size() >= 3)
    {
        remembered = TokenNumber(2);
    }
    const uint32_t length = remembered;
    address &= ~3u;
    const uint32_t size = kind == kKestrixDmem ? m_engineDmemSize : m_engineImemSize;
    if (!RangeFits(address, uint64_t{length} * 4, size) || !m_adapter)
    {
        if (kind == kKestrixDmem)
        {
            ConsolePrint("Error: requested DMEM access area out of range. addr=%x, size=%x, "
                         "Kestrix DMEM size=%x\n",
                         address, length * 4, size);
        }
        return;
    }
    std::vector<uint32_t> words(length);
    ReadMemory(kind, address, words, *m_adapter);
    DumpWords(kind == kKestrixDmem ? "DMEM start address: =0x%x, length(in DWORD)=%d \n"
                                   : "IMEM start address: =0x%x, length(in DWORD)=%d \n",
              address, words);
}

void CKestrixLoader::ConsoleDmem()
{
    DumpMemory(kKestrixDmem);
}

void CKestrixLoader::ConsoleImem()
{
    DumpMemory(kKestrixImem);
}

void CKestrixLoader::ConsoleDmemWrite()
{
    if (m_tokens.size() < 3)
    {
        ConsolePrint("Error: dmemwr: DATA write to DMEM or DMEM ADDR missing, refer to help for "
                     "command format\n");
        return;
    }
    const uint32_t address = TokenNumber(1) & ~3u;
    const auto count = static_cast<uint32_t>(m_tokens.size() - 2);
    // Nothing is written outside the engine's data memory.
    if (!RangeFits(address, uint64_t{count} * 4, m_engineDmemSize) || !m_adapter)
    {
        ConsolePrint("Error: dmemwr: requested DMEM access area out of range. addr=%x, size=%x, "
                     "Kestrix DMEM size=%x\n",
                     address, count * 4, m_engineDmemSize);
        return;
    }
    std::vector<uint32_t> words;
    for (size_t i = 2; i < m_tokens.size(); ++i)
    {
        words.push_back(TokenNumber(i));
    }
    WriteMemory(kKestrixDmem, address, count * 4, words, *m_adapter);
    DumpWords("DMEM write start address: =0x%x, length(in DWORD)=%d \n", address, words);
}

void CKestrixLoader::ConsoleDmap()
{
    if (!image.mapper)
    {
        ConsolePrint("DMEM Mapper not found\n");
        return;
    }
    const KestrixDmemMapper& mapper = *image.mapper;
    const auto word = [this](uint64_t offset) { return KestrixWordAt(image.data, offset); };
    ConsolePrint("DMEM Mapper offset = 0x%x \n\n", mapper.offset);
    ConsolePrint("DMEM Mapper Version = %d \n", mapper.version);
    if (mapper.IsExtended())
    {
        ConsolePrint("uCode Build Date: %s  Time : %s \n",
                     DmemText(word(mapper.buildStampOffset)).c_str(),
                     DmemText(word(mapper.buildStampOffset + 4)).c_str());
        const uint32_t production = word(mapper.signatureTableOffset);
        const uint32_t debug = word(mapper.signatureTableOffset + 4);
        ConsolePrint("uCode Signature Prod : %x %x %x %x \n", word(production),
                     word(production + 4), word(production + 8), word(production + 12));
        ConsolePrint("uCode Signature Debug: %x %x %x %x \n", word(debug), word(debug + 4),
                     word(debug + 8), word(debug + 12));
    }
    ConsolePrint("cmd_in_buffer_offset = 0x%x, cmd_in_buffer_size= 0x%x \n ",
                 mapper.cmd_in_buffer_offset, mapper.cmd_in_buffer_size);
    ConsolePrint("cmd_out_buffer_offset = 0x%x, cmd_out_buffer_size= 0x%x \n ",
                 mapper.cmd_out_buffer_offset, mapper.cmd_out_buffer_size);
    ConsolePrint("rmv_img_data_buffer_offset = 0x%x, rmv_img_data_buffer_size= 0x%x \n ",
                 mapper.rmv_img_data_buffer_offset, mapper.rmv_img_data_buffer_size);
    ConsolePrint("printf header offset = 0x%x \n\n ", mapper.printfHeaderOffset);
    if (mapper.printfHeaderOffset == 0)
    {
        ConsolePrint("printf service not available in uCode\n");
        return;
    }
    ConsolePrint("printf buffer header:\n");
    ConsolePrint("pBuffer_offset = 0x%x,  pBuffer_size = 0x%x\n",
                 word(mapper.printfHeaderOffset + 4), word(mapper.printfHeaderOffset + 8));
    const uint32_t writeOffset =
        m_adapter ? ReadMemoryWord(kKestrixDmem, mapper.printfHeaderOffset, *m_adapter) : 0;
    const uint32_t flags =
        m_adapter ? ReadMemoryWord(kKestrixDmem, mapper.printfHeaderOffset + 12, *m_adapter) : 0;
    ConsolePrint("printf buffer offset = 0x%x, Flag = 0x%x\n", writeOffset, flags);
}

void CKestrixLoader::ConsoleGetlog()
{
    GetLog(m_tokens.size() >= 2 && m_tokens[1] == "brss");
}

// ---- registers ---------------------------------------------------------------

void CKestrixLoader::ConsoleRd()
{
    if (m_tokens.size() >= 2)
    {
        m_registerAddress = TokenNumber(1);
    }
    if (m_tokens.size() >= 3)
    {
        m_registerCount = TokenNumber(2);
    }
    if (!m_adapter)
    {
        return;
    }
    for (uint32_t i = 0; i < m_registerCount; ++i)
    {
        ConsolePrint(" Register @ %08x = %08x \n", m_registerAddress,
                     m_adapter->Read32(m_registerAddress));
        m_registerAddress += 4;
    }
}

void CKestrixLoader::ConsoleWr()
{
    if (m_tokens.size() != 3 || !m_adapter)
    {
        ConsolePrint("command invalid:\n");
        HelpWr();
        return;
    }
    ConsolePrint(" Register @ %08x <-- %08x \n", TokenNumber(1), TokenNumber(2));
    m_adapter->Write32(TokenNumber(1), TokenNumber(2));
}

void CKestrixLoader::ConsolePrd()
{
    if (m_tokens.size() >= 2)
    {
        m_registerAddress = TokenNumber(1);
    }
    if (m_tokens.size() >= 3)
    {
        m_registerCount = TokenNumber(2);
    }
    if (!IsReady())
    {
        return;
    }
    // The answer cannot be longer than the microcode's result buffer.
    const uint32_t count = std::min(m_registerCount, image.mapper->cmd_out_buffer_size / 4);
    const uint32_t arguments[] = {m_registerAddress, count};
    WriteArguments(arguments);
    if (SendAndReport(KR_UCODE_CMD_COMMAND_RRD) != 0)
    {
        return;
    }
    std::vector<uint32_t> words(count);
    ReadMemory(kKestrixDmem, image.mapper->cmd_out_buffer_offset, words, *m_adapter);
    for (uint32_t k = 0; k < count; ++k)
    {
        ConsolePrint(" Register @ %08x = %08x (pmu)\n", m_registerAddress + 4 * k, words[k]);
    }
}

void CKestrixLoader::ConsolePwr()
{
    if (m_tokens.size() != 3 || !IsReady())
    {
        ConsolePrint("command invalid:\n");
        HelpPwr();
        return;
    }
    const uint32_t arguments[] = {TokenNumber(1), TokenNumber(2)};
    WriteArguments(arguments);
    if (SendAndReport(KR_UCODE_CMD_COMMAND_RWR) == 0)
    {
        ConsolePrint(" Register @ %08x <-- %08x (pmu)\n", arguments[0], arguments[1]);
    }
}

// ---- in-circuit debugger -------------------------------------------------------

bool CKestrixLoader::WaitIcdReady()
{
    for (uint32_t i = 0; i < kIcdPolls; ++i)
    {
        if (m_adapter->Read32(m_registers.icdCommand) & kIcdReady)
        {
            return true;
        }
        Delay(kIcdPollDelay);
    }
    return false;
}

uint32_t CKestrixLoader::ReadIcdRegisters(KestrixIcdRegisters& record, uint32_t mask, bool print)
{
    if (!m_adapter)
    {
        return 0;
    }
    for (uint32_t r = 0; r < kIcdRegisterCount; ++r)
    {
        if (!(mask & (1u << r)) || !kIcdNames[r])
        {
            continue;
        }
        m_adapter->Write32(m_registers.icdCommand, (r << 8) | kIcdReadRegister);
        if (!WaitIcdReady())
        {
            continue;
        }
        record.words[r] = m_adapter->Read32(m_registers.icdData);
        if (print)
        {
            ConsolePrint("%s = 0x%08x\n", kIcdNames[r], record.words[r]);
        }
    }
    return 0;
}

void CKestrixLoader::ConsoleIcd()
{
    if (m_tokens.size() < 2)
    {
        ConsolePrint("Error: icd: ICD command parameter missing. refer to help for command "
                     "format\n");
        return;
    }
    if (m_tokens[1] != "regs")
    {
        ConsolePrint("Error: icd: ICD command - `%s` not supported. refer to help for command "
                     "format\n",
                     m_tokens[1].c_str());
        return;
    }
    const std::string selector = m_tokens.size() >= 3 ? m_tokens[2] : "all";
    for (const IcdSelector& known : kIcdSelectors)
    {
        if (selector == known.name)
        {
            KestrixIcdRegisters record;
            ReadIcdRegisters(record, known.mask, true);
            return;
        }
    }
    ConsolePrint("Error: icd: ICD regs command parameter - `%s` not supported. refer to help for "
                 "command format\n",
                 selector.c_str());
}

// ---- I2C and verification ---------------------------------------------------------

void CKestrixLoader::ConsoleI2c()
{
    if (m_tokens.size() != 5 || !m_adapter)
    {
        ConsolePrint("command invalid:\n");
        HelpI2c();
        return;
    }
    std::vector<uint8_t> bytes;
    CRefPtr<IDevice> device = m_adapter->GetDevice();
    const int32_t result = device ? device->I2CReadRegister(static_cast<uint8_t>(TokenNumber(1)),
                                                            static_cast<uint8_t>(TokenNumber(2)),
                                                            static_cast<uint16_t>(TokenNumber(3)),
                                                            bytes, TokenNumber(4), false)
                                  : -1;
    if (result != 0)
    {
        ConsolePrint("I2C call failed.\n");
        return;
    }
    ConsolePrint("\nI2C Read Succeeded:\n");
    for (const uint8_t byte : bytes)
    {
        ConsolePrint("0x%X\n", byte);
    }
}

void CKestrixLoader::ConsoleVv()
{
    if (m_tokens.size() != 2)
    {
        PrintHelpOf("vv");
        return;
    }
    CRefPtr<IROMImage> romImage = IROMImage::CreateFromFile(m_tokens[1]);
    const uint32_t result = SendVVCommand(m_adapter, romImage, nullptr, nullptr);
    ConsolePrint(result != 0 ? "vv command failed\n" : "vv command completed successfully\n");
}
