// CKestrixLoader: engine reset and start, code and data memory access, and
// the load with its PREP command.

#include "eeprom/KestrixLoader.h"

#include "core/TextHelpers.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/IDevice.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint32_t kEnableRegister = 0x000200;
constexpr uint32_t kPmuResetControl = 0x10A3C0;
constexpr uint32_t kPmuResetPermission = 0x10A3C4;
constexpr uint32_t kPmuResetPermitted = 1u << 4;
constexpr uint32_t kResetScratch = 0x137190;
constexpr uint32_t kPmuSetup0 = 0x10A410;
constexpr uint32_t kPmuSetup1 = 0x10A07C;
constexpr uint32_t kPmuEnableBit = 13;
constexpr uint32_t kPmuEnableBitOld = 16;
constexpr uint32_t kSecEnableBit = 14;
constexpr uint32_t kKrdecEnableBit = 15;

constexpr uint32_t kCpuReset = 9;
constexpr uint32_t kCpuStart = 2;
constexpr uint32_t kWaitUnit = 1000; // microseconds
constexpr uint32_t kResetPolls = 3000;
constexpr uint32_t kBuiltInStartWaitUnits = 500;

constexpr uint32_t kModeBits = (1u << 24) | (1u << 25);
constexpr uint32_t kWriteIncrement = 1u << 24;
constexpr uint32_t kReadIncrement = 1u << 25;
constexpr uint32_t kSecureBlock = 1u << 28;
constexpr uint32_t kBlockBytes = 256;
constexpr uint32_t kBlockWords = kBlockBytes / 4;

constexpr uint32_t kPrepWithPayload = 1u << 0;
constexpr uint32_t kPrepSoftwareSpi = 1u << 1;

bool g_softwareSpi = false;

} // namespace

void SetKestrixSoftwareSpi(bool on)
{
    g_softwareSpi = on;
}

bool CKestrixLoader::Poll(IDisplayAdapter& adapter, uint32_t reg, uint32_t mask, uint32_t wanted)
{
    for (uint32_t poll = 0; poll < kResetPolls; ++poll)
    {
        if ((adapter.Read32(reg) & mask) == wanted)
        {
            return true;
        }
        Delay(kWaitUnit);
    }
    return false;
}

void CKestrixLoader::ResetPmu(IDisplayAdapter& adapter)
{
    const bool newer = !TraitsOfDeviceKind(adapter.GetDevice()->GetDeviceKind()).olderPmuReset;
    if (newer)
    {
        const uint32_t permission = adapter.Read32(kPmuResetPermission);
        if (!(permission & kPmuResetPermitted))
        {
            if (m_userInterface)
            {
                m_userInterface->ShowMessage(1, "PMU does not permit a reset.");
            }
            Show("PMU does not permit a reset (" + ToHex(permission, 8) + ").");
        }
        adapter.Write32(kPmuResetControl, 1);
    }
    else
    {
        adapter.Write32(kEnableRegister, adapter.Read32(kEnableRegister) & ~(1u << kPmuEnableBit));
    }
    Delay(5 * kWaitUnit);
    if (adapter.Read32(kResetScratch) == 0)
    {
        adapter.Write32(kResetScratch, 0);
    }
    if (newer)
    {
        adapter.Write32(kPmuResetControl, 0);
    }
    else
    {
        adapter.Write32(kEnableRegister, adapter.Read32(kEnableRegister) | (1u << kPmuEnableBit) |
                                             (1u << kPmuEnableBitOld));
    }
}

void CKestrixLoader::ResetByEnableBit(IDisplayAdapter& adapter, uint32_t bit)
{
    adapter.Write32(kEnableRegister, adapter.Read32(kEnableRegister) & ~(1u << bit));
    Delay(5 * kWaitUnit);
    adapter.Write32(kEnableRegister, adapter.Read32(kEnableRegister) | (1u << bit));
}

bool CKestrixLoader::ResetEngine(IDisplayAdapter& adapter)
{
    if (m_engineType == KESTRIX_PMU)
    {
        ResetPmu(adapter);
    }
    else if (m_engineType == KESTRIX_KRDEC)
    {
        ResetByEnableBit(adapter, kKrdecEnableBit);
    }
    else if (m_engineType == KESTRIX_SEC)
    {
        ResetByEnableBit(adapter, kSecEnableBit);
    }
    adapter.Write32(m_registers.cpuControl, kCpuReset);
    // A reset engine has forgotten any command left behind.
    m_mailboxAbandoned = false;
    const bool reset = Poll(adapter, m_registers.resetStatus, 0x3, 0x2);
    if (m_engineType == KESTRIX_PMU)
    {
        adapter.Write32(kPmuSetup0, 0);
        adapter.Write32(kPmuSetup1, 1);
        Delay(10 * kWaitUnit);
    }
    const bool dmaIdle = Poll(adapter, m_registers.dmaControl, 0x6, 0);
    return reset && dmaIdle;
}

void CKestrixLoader::StartEngine(IDisplayAdapter& adapter, uint32_t bootVector)
{
    if (m_engineType > KESTRIX_SEC)
    {
        return;
    }
    adapter.Write32(m_registers.bootVector, bootVector);
    adapter.Write32(m_registers.dmaControl, 0);
    adapter.Write32(m_registers.cpuControl, kCpuStart);
}

uint32_t CKestrixLoader::ReadMemoryWord(uint32_t kind, uint32_t address, IDisplayAdapter& adapter)
{
    if (m_engineType != KESTRIX_PMU)
    {
        return 0;
    }
    const bool dmem = kind == kKestrixDmem;
    adapter.Write32(dmem ? m_registers.dmemControl : m_registers.imemControl, address & ~kModeBits);
    return adapter.Read32(dmem ? m_registers.dmemData : m_registers.imemData);
}

void CKestrixLoader::ReadMemory(uint32_t kind, uint32_t address, std::span<uint32_t> words,
                                IDisplayAdapter& adapter)
{
    const bool dmem = kind == kKestrixDmem;
    adapter.Write32(dmem ? m_registers.dmemControl : m_registers.imemControl,
                    (address & ~kModeBits) | kReadIncrement);
    const uint32_t port = dmem ? m_registers.dmemData : m_registers.imemData;
    for (uint32_t& word : words)
    {
        word = adapter.Read32(port);
    }
}

void CKestrixLoader::WriteMemory(uint32_t kind, uint32_t address, uint32_t byteCount,
                                 std::span<const uint32_t> words, IDisplayAdapter& adapter)
{
    // Never more words than the caller gave.
    const uint32_t wordCount =
        std::min<uint32_t>((byteCount + 3) / 4, static_cast<uint32_t>(words.size()));
    if (kind == kKestrixImem)
    {
        WriteImem(address, std::min(byteCount, wordCount * 4), words.first(wordCount), adapter);
        return;
    }
    adapter.Write32(m_registers.dmemControl, (address & ~kModeBits) | kWriteIncrement);
    for (uint32_t i = 0; i < wordCount; ++i)
    {
        adapter.Write32(m_registers.dmemData, words[i]);
    }
}

void CKestrixLoader::WriteImem(uint32_t address, uint32_t byteCount,
                               std::span<const uint32_t> words, IDisplayAdapter& adapter)
{
    uint32_t windowEnd = image.secureEnd;
    if (m_notBuiltIn && m_userImageMode == 1 && image.alternateSecureSize != 0)
    {
        windowEnd = image.secureStart + image.alternateSecureSize;
    }
    uint32_t control = address;
    for (uint32_t done = 0; done < byteCount; done += kBlockBytes)
    {
        control = (control & ~(kModeBits | kSecureBlock)) | kWriteIncrement;
        const uint32_t blockAddress = control & 0xFFFC;
        if (image.secure && blockAddress >= image.secureStart && blockAddress < windowEnd)
        {
            control |= kSecureBlock;
        }
        adapter.Write32(m_registers.imemControl, control);
        adapter.Write32(m_registers.imemTag, (control >> 8) & 0xFF);
        // A last block shorter than 256 bytes is filled up with zero words;
        // its last partial word keeps only its own bytes.
        const uint32_t blockBytes = std::min(kBlockBytes, byteCount - done);
        for (uint32_t word = 0; word < kBlockWords; ++word)
        {
            const uint32_t offset = word * 4;
            uint32_t value = 0;
            if (offset < blockBytes)
            {
                value = words[(done + offset) / 4];
                const uint32_t valid = std::min(4u, blockBytes - offset);
                if (valid < 4)
                {
                    value &= (1u << (8 * valid)) - 1;
                }
            }
            adapter.Write32(m_registers.imemData, value);
        }
        control += 0x100;
    }
}

void CKestrixLoader::ReadBackAttachedDmem(IDisplayAdapter& adapter)
{
    std::vector<uint32_t> words(m_engineDmemSize / 4);
    ReadMemory(kKestrixDmem, 0, words, adapter);
    image.data.assign(words.size() * 4, 0);
    for (size_t i = 0; i < words.size(); ++i)
    {
        KestrixPutWord(image.data, i * 4, words[i]);
    }
    image.dmemSize = static_cast<uint32_t>(image.data.size());
    const auto magic = FindKestrixDmapMagic(image.data);
    image.mapper = magic ? ReadKestrixDmemMapper(image.data, *magic) : std::nullopt;
    if (!image.mapper)
    {
        m_loadStatus = KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND;
    }
}

bool CKestrixLoader::SendPrep(CLog* log)
{
    CLog& out = log ? *log : *::GetLog();
    out << LogLevel(3)
        << "Sending PREP command to initialize the SPI contoller after kicked start PMU."
        << LogEndl;
    uint32_t flags = 0;
    uint32_t payloadSize = 0;
    if (g_softwareSpi)
    {
        out << LogLevel(3) << "Using SW SPI for the following transaction!" << LogEndl;
        flags |= kPrepSoftwareSpi;
    }
    if (m_prepPayload && image.mapper && image.mapper->version == 3)
    {
        WriteDataBuffer(*m_prepPayload);
        flags |= kPrepWithPayload;
        payloadSize = static_cast<uint32_t>(m_prepPayload->size());
    }
    const uint32_t arguments[] = {flags, payloadSize};
    WriteArguments(arguments);
    const uint32_t result = SendCommand(KR_UCODE_CMD_COMMAND_PREP);
    if (result != 0)
    {
        DecodeErrorCode(KR_UCODE_CMD_COMMAND_PREP, result);
    }
    return result == 0;
}

void CKestrixLoader::LoadMicrocode(CRefPtr<IUserInterface> userInterface,
                                   CRefPtr<IDisplayAdapter> adapter,
                                   IKestrixPrepPayloadSource* payloadSource, CLog* log)
{
    if (payloadSource)
    {
        m_prepPayload = payloadSource->GetAdapterCertificate(*adapter, log);
    }
    // An engine that does not come out of reset, or whose DMA stays busy,
    // would take the microcode only in part: the load stops here.
    if (m_engineType != KESTRIX_PMU_ATTACH && !ResetEngine(*adapter))
    {
        throw std::runtime_error("Kestrix engine reset did not complete.  kestrix uCode load "
                                 "failed.");
    }
    const uint32_t config = adapter->Read32(m_registers.hardwareConfig);
    m_engineImemSize = (config & 0x1FF) * 256;
    m_engineDmemSize = ((config >> 9) & 0x1FF) * 256;
    if (m_engineType >= KESTRIX_PMU_ATTACH)
    {
        ReadBackAttachedDmem(*adapter);
    }
    if (m_console && userInterface)
    {
        userInterface->ShowMessage(1, ComposeLoadReport());
    }
    if (m_engineType <= KESTRIX_SEC)
    {
        uint32_t imemCount = image.imemSize;
        if (m_notBuiltIn && m_userImageMode == 1 && image.alternateSecureSize != 0)
        {
            imemCount = image.secureStart + image.alternateSecureSize;
        }
        WriteMemory(kKestrixImem, 0, imemCount, KestrixWordsOf(image.code), *adapter);
        WriteMemory(kKestrixDmem, 0, image.dmemSize, KestrixWordsOf(image.data), *adapter);
        StartEngine(*adapter, 0);
        if (!m_notBuiltIn)
        {
            for (uint32_t unit = 0; unit < kBuiltInStartWaitUnits; ++unit)
            {
                Delay(kWaitUnit);
            }
        }
        // Microcode that refuses PREP cannot serve a single command.
        if (!SendPrep(log))
        {
            throw std::runtime_error("Kestrix PREP command failed.  kestrix uCode load failed.");
        }
        if (m_console)
        {
            RunConsoleWithMessage("Enter console mode after preparation.");
        }
    }
    else if (m_engineType == KESTRIX_PMU_ATTACH && m_console)
    {
        RunConsoleWithMessage("console attach to PMU ");
    }
}
