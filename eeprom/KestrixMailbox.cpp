// CKestrixLoader: the mailbox handshake and the report of a failed command.

#include "eeprom/KestrixLoader.h"

#include "core/TextHelpers.h"

#include <array>

namespace
{
constexpr uint32_t kHostCommandRegister = 0x022408;
constexpr uint32_t kHostCommandBit = 0x2;
constexpr uint32_t kIdMask = 0x0FFFFFFF;
constexpr uint32_t kStatusNew = 0x10000000;
constexpr uint32_t kPollBound = 50000;
constexpr uint32_t kMailboxPollDelay = 200; // microseconds

struct ErrorCodeName
{
    uint32_t code;
    const char* name;
};

constexpr std::array kErrorNames = {
    ErrorCodeName{1, "CMD_TIMEOUT"},
    ErrorCodeName{2, "CMD_DEPENDENCY"},
    ErrorCodeName{3, "CMD_EID_RD_ERROR"},
    ErrorCodeName{4, "CMD_ERD_BUF_WR_ERROR"},
    ErrorCodeName{5, "CMD_EWR_BUF_RD_ERROR"},
    ErrorCodeName{6, "CMD_UNSUPPORTED_GPU"},
    ErrorCodeName{7, "CMD_UNSUPPORTED_COMMAND"},
    ErrorCodeName{8, "CMD_UNSUPPORTED_PARAMETER"},
    ErrorCodeName{9, "CMD_SECURE_REV_LOCK_VIOLATION"},
    ErrorCodeName{10, "LOAD_VBIOS_VERIFY_UCODE_FAIL"},
    ErrorCodeName{11, "CMD_VBIOS_VERIFY_DEBUG_FUSE_BOARD"},
    ErrorCodeName{12, "CMD_VBIOS_VERIFY_DEVID_FAIL"},
    ErrorCodeName{13, "CMD_VBIOS_VERIFY_CERT_NOT_FOUND"},
    ErrorCodeName{14, "CMD_VBIOS_VERIFY_CERT_PARSE_FAIL"},
    ErrorCodeName{15, "CMD_VBIOS_VERIFY_CERT_VERIFY_FAIL"},
    ErrorCodeName{16, "CMD_VBIOS_VERIFY_HAT_FAIL"},
    ErrorCodeName{17, "CMD_VBIOS_VERIFY_BIOS_SIG_FAIL"},
    ErrorCodeName{22, "CERT_UNKNOWN_ERROR"},
    ErrorCodeName{23, "CERT_EXT_NOT_FOUND"},
    ErrorCodeName{24, "CERT_SIGNATURE_NOT_FOUND"},
    ErrorCodeName{25, "CERT_RSA1K_SIGNATURE_INVALID"},
    ErrorCodeName{26, "CERT_EXT_NO_SUB_STRUCT_FOUND"},
    ErrorCodeName{27, "CERT_UNSUPPORTED_VERSION"},
    ErrorCodeName{28, "CERT_NO_EXTENSION_EXIST"},
    ErrorCodeName{37, "ECID_ENCODING_ALGO_UNKNOWN"},
    ErrorCodeName{40, "UNSUPPORTED_CONFIG"},
    ErrorCodeName{41, "BSI_INFO_BRSS_INVALID"},
    ErrorCodeName{42, "IMEM_TO_DMEM_COPY_INVALID_PARA"},
    ErrorCodeName{43, "DERIVED_KEY_TYPE_INVALID"},
    ErrorCodeName{44, "UCODE_NOT_IN_HS_MODE"},
    ErrorCodeName{45, "VBIOS_DEVINIT_OFFSETS_INVALID"},
    ErrorCodeName{46, "VBIOS_DEVINIT_SIG_INVALID"},
    ErrorCodeName{56, "CERT20_INTBLK_VDPA_HEADER_INVALID"},
    ErrorCodeName{57, "CERT20_INTBLK_INT_SIG_HEADER_INVALID"},
    ErrorCodeName{58, "CERT20_INTBLK_INT_SIG_CRYPTO_UNDEFINED"},
    ErrorCodeName{59, "CERT20_VDPA_UNEXPECTED_MAJOR_TYPE"},
    ErrorCodeName{60, "CERT20_VDPA_UNEXPECTED_MINOR_TYPE"},
    ErrorCodeName{61, "CERT20_VDPA_ENTRY_SIZE_LARGER_THAN_DATA_BUFFER"},
    ErrorCodeName{62, "CERT20_VDPA_UNEXPECTED_CODE_TYPE"},
    ErrorCodeName{63, "CERT20_VDPA_NOT_FINALIZED"},
    ErrorCodeName{64, "CERT20_VDPA_SIG_INVALID"},
    ErrorCodeName{65, "CERT20_VDPA_ENTRY_NOT_FOUND"},
    ErrorCodeName{66, "CERT20_VDPA_CERT_INTBLK_MISMATCH"},
    ErrorCodeName{67, "CERT20_VDPA_ENTRY_FOUND_DATA_MISMATCH"},
    ErrorCodeName{68, "CERT20_VDPA_DATA_INVALID"},
    ErrorCodeName{69, "CERT20_VDPA_FLASH_SIZE_LARGER_THAN_EXPECTED"},
    ErrorCodeName{70, "CERT20_VDPA_DEVID_MISMATCH"},
    ErrorCodeName{71, "GPU_INITIALIZATION_TABLES_SIG_CHECK_FAILED"},
    ErrorCodeName{72, "GPU_INITIALIZATION_SCRIPTS_SIG_CHECK_FAILED"},
    ErrorCodeName{83, "CMD_EWR_NO_ERASE_NOT_PERMITTED"},
    ErrorCodeName{84, "CMD_EWR_NO_VERIFY_NOT_PERMITTED"},
    ErrorCodeName{85, "CMD_ESE_NOT_PERMITTED"},
    ErrorCodeName{86, "CMD_ECE_NOT_PERMITTED"},
    ErrorCodeName{87, "CERT20_VDPA_UNEXPECTED_INSTANCE"},
    ErrorCodeName{88, "DEVID_MATCH_LIST_MORE_DEVIDS_THAN_BUFFERS"},
    ErrorCodeName{89, "DEVID_MATCH_LIST_SIG_INVALID"},
    ErrorCodeName{90, "DEVID_MATCH_LIST_DEVID_MATCH_FAILED"},
    ErrorCodeName{91, "DEVID_MATCH_LIST_DEVID_NOT_FOR_THE_GPU"},
    ErrorCodeName{92, "DEVID_MATCH_LIST_DEVID_OUT_OF_HAT_COVERAGE"},
    ErrorCodeName{93, "PUSH_POLL_DMEM_COPY_BUFFER_OVERFLOW"},
    ErrorCodeName{94, "PUSH_POLL_DMEM_COPY_DATA_OUT_OF_RANGE"},
    ErrorCodeName{95, "CERT20_INTBLK_VDPA_BLOCK_OVERSIZE"},
    ErrorCodeName{108, "CMD_EWR_OK_TO_FLASH_CHECK_FAILED"},
};

// The explanation lines of codes 2 to 9, each after a line break.
const char* Explanation(uint32_t code)
{
    switch (code)
    {
    case 2:
        return "  uCode may need other commamd to be issued first before carrying out this command";
    case 3:
        return "  EEPROM ID process failed. ";
    case 4:
        return "  uCode cannot read more bytes than size of image buffer.";
    case 5:
        return "  uCode cannot program more bytes than size of image buffer.";
    case 6:
        return "  uCode does not support this GPU. Please check GPU DevID.";
    case 7:
        return "  This is not a valid uCode command.\nCould be this command is not installed in "
               "uCode ";
    case 8:
        return "  A supplied parameter is invalid or out of range.";
    case 9:
        return "  Romvise doesn't support your GPU. Please try a new version of Romvise";
    default:
        return nullptr;
    }
}
} // namespace

std::string KestrixErrorText(uint32_t errorCode)
{
    if (errorCode == 0)
    {
        return "No Error ";
    }
    for (const ErrorCodeName& entry : kErrorNames)
    {
        if (entry.code != errorCode)
        {
            continue;
        }
        const bool noPrefix = errorCode >= 42 && errorCode <= 44;
        std::string text =
            std::string(noPrefix ? "" : "Error: ") + "KR_UCODE_ERR_CODE_" + entry.name + " ";
        if (const char* explanation = Explanation(errorCode))
        {
            text += std::string("\n") + explanation;
        }
        else if (errorCode >= 10)
        {
            text += "\n";
        }
        return text;
    }
    return "Unknown Error  \n";
}

std::string KestrixCommandName(uint32_t id)
{
    static const char* const kNames[] = {
        nullptr, nullptr, "EID",   "ESI",   "ERD", "EWR",  "ESE",   "ECE",      "RRD",   "RWR",
        "PREP",  "CLOSE", "EPROT", "ERDSR", "VV",  "ECID", nullptr, "BSI_INFO", nullptr, "ARB"};
    if (id == KR_UCODE_CMD_COMMAND_NONE)
    {
        return " KR_UCODE_CMD_COMMAND_NONE - Infomation Only ";
    }
    if (id < std::size(kNames) && kNames[id])
    {
        return std::string("KR_UCODE_CMD_COMMAND_") + kNames[id] + " ";
    }
    return "Unknown Command ";
}

std::string KestrixStatusName(uint32_t status)
{
    static const char* const kNames[] = {"KR_UCODE_CMD_STS_NONE", "KR_UCODE_CMD_STS_NEW",
                                         "KR_UCODE_CMD_STS_PENDING", "KR_UCODE_CMD_STS_COMPLETE"};
    return status < std::size(kNames) ? kNames[status] : "Unknown Command Status";
}

uint32_t CKestrixLoader::SendCommand(uint32_t id)
{
    if (!IsReady())
    {
        return kKestrixNotCompleted;
    }
    IDisplayAdapter& adapter = *m_adapter;
    if (m_mailboxAbandoned)
    {
        // The engine still owes an answer to a command that timed out; a new
        // command word would be taken for part of it. Only a reset clears it.
        Show(kNotSentAfterAbandoned);
        return kKestrixNotCompleted;
    }
    adapter.Write32(kHostCommandRegister, adapter.Read32(kHostCommandRegister) | kHostCommandBit);
    adapter.Write32(m_registers.mailbox0, (id & kIdMask) | kStatusNew);

    uint32_t mailbox0 = 0;
    bool complete = false;
    bool timedOut = true;
    for (uint32_t i = 0; i + 1 < kPollBound; ++i)
    {
        Delay(kMailboxPollDelay);
        mailbox0 = adapter.Read32(m_registers.mailbox0);
        const uint32_t status = mailbox0 >> 28;
        if (status == KR_UCODE_CMD_STS_COMPLETE)
        {
            complete = true;
        }
        if (status != KR_UCODE_CMD_STS_NEW && status != KR_UCODE_CMD_STS_PENDING)
        {
            timedOut = false;
            break;
        }
    }
    if (!complete)
    {
        m_mailboxAbandoned = timedOut;
        Show(" Command failed to complete mailbox0 = " + ToHex(mailbox0, 4));
        return kKestrixNotCompleted;
    }
    const uint32_t mailbox1 = adapter.Read32(m_registers.mailbox1);
    const uint32_t result = mailbox1 & kKestrixErrorMask;
    if (result != 0)
    {
        Show(" Command complete with error, Error code = " + ToHex(result, 4));
    }
    if (mailbox1 & kKestrixPrintfPending)
    {
        GetLog(false);
    }
    return result;
}

void CKestrixLoader::DecodeErrorCode(uint32_t commandWord, uint32_t errorCode)
{
    const uint32_t id = commandWord & kIdMask;
    std::string text = "Command id:" + ToHex(commandWord, 4) +
                       " Command: " + KestrixCommandName(id) + (id != 0 ? "failed" : "") + "\n";
    text += "Command Status:" + KestrixStatusName(commandWord >> 28) +
            "  Error Code: " + ToHex(errorCode, 8) + "\n";
    text += KestrixErrorText(errorCode);
    Show(text);
}
