#include "hw/device/DeviceGPUISOImpl.h"

#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/I2CPortScope.h"

#include <iostream>
#include <stdexcept>

namespace
{
constexpr uint32_t kPowerControlConfig = 0x64;
constexpr uint32_t kEnableRegister = 0x200;
constexpr uint32_t kTimerSetupNumerator = 0x9200;
constexpr uint32_t kTimerSetupDenominator = 0x9210;
constexpr uint32_t kControllerBusyBit = 1u << 28;
constexpr uint32_t kControllerStride = 80;
constexpr uint32_t kIsoControllerStatus = 0xE4E8;
constexpr uint32_t kControllerEnable = 0xE500;
constexpr uint32_t kControllerMode = 0xE50C;
// Polls of a mutex register before its timeout is looked at again.
constexpr uint32_t kMutexPollBound = 200000;

void PrintInvalidPort(uint8_t port)
{
    std::cout << "ERROR : Invalid I2C Port " << ToHex(port, 2) << std::endl;
}
} // namespace

CDeviceGPUISOImpl::CDeviceGPUISOImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : CDeviceGPUImpl(std::move(accessor), deviceKind)
{
    CDeviceGPUISOImpl::InitializeHardware();
}

CDeviceGPUISOImpl::~CDeviceGPUISOImpl()
{
    GivePortsBackAtEnd();
}

void CDeviceGPUISOImpl::GivePortsBackAtEnd() noexcept
{
    // A device that goes while it holds ports gives mutex 5 and its owner ID
    // back, so other users of the GPU's I2C ports are not locked out.
    if (m_acquiredPorts != 0 || m_mutexOwnerId != kNoMutexId)
    {
        try
        {
            ReleaseAllPortsQuietly();
        }
        catch (const std::exception&)
        {
        }
    }
}

// ---------------------------------------------------------------------------
// Set-up, gate and timer

bool CDeviceGPUISOImpl::InitializeHardware()
{
    if (m_hardwareSetUp)
    {
        return true;
    }
    const uint32_t power = Accessor().ReadConfig32(kPowerControlConfig);
    if (power & 3u)
    {
        Accessor().WriteConfig32(kPowerControlConfig, power & ~3u);
    }
    uint32_t enable = Read32(kEnableRegister);
    if (!(enable & (1u << 20)))
    {
        Write32(kEnableRegister, enable | (1u << 20));
    }
    enable = Read32(kEnableRegister);
    if (!(enable & (1u << 16)))
    {
        Write32(kEnableRegister, enable | (1u << 16));
    }
    if (TraitsOfDeviceKind(GetDeviceKind()).isoTimerSetup)
    {
        Write32(kTimerSetupNumerator, 31250);
        Write32(kTimerSetupDenominator, 625);
    }
    m_hardwareSetUp = true;
    return true;
}

template <class Read> auto CDeviceGPUISOImpl::ReadThroughGate(uint32_t offset, Read read)
{
    if (offset < kGatedFirst || offset > kGatedLast)
    {
        return read();
    }
    const uint32_t gate = CDeviceBaseImpl::Read32(kGateRegister);
    CDeviceBaseImpl::Write32(kGateRegister, gate | kGateBit);
    struct GateRestore
    {
        CDeviceGPUISOImpl& device;
        uint32_t gate;
        ~GateRestore()
        {
            RunRestoreStep("the register gate",
                           [&] { device.CDeviceBaseImpl::Write32(kGateRegister, gate); });
        }
    } restore{*this, gate};
    return read();
}

uint8_t CDeviceGPUISOImpl::Read8(uint32_t offset)
{
    return ReadThroughGate(offset, [&] { return CDeviceBaseImpl::Read8(offset); });
}

uint32_t CDeviceGPUISOImpl::Read32(uint32_t offset)
{
    return ReadThroughGate(offset, [&] { return CDeviceBaseImpl::Read32(offset); });
}

void CDeviceGPUISOImpl::UnmapRegisters()
{
    m_hardwareSetUp = false;
    ReleaseAllPortsQuietly();
    CDeviceBaseImpl::UnmapRegisters();
}

void CDeviceGPUISOImpl::ReleaseAllPortsQuietly()
{
    ReleaseI2CPort(kAllPorts);
    ReleaseMutexId();
}

uint32_t CDeviceGPUISOImpl::GetTimerValue()
{
    return m_hardwareSetUp ? Read32(kTimerRegister) >> 5 : 0;
}

// ---------------------------------------------------------------------------
// EEPROM access

bool CDeviceGPUISOImpl::HasWindowOffsetRegister()
{
    return TraitsOfDeviceKind(GetDeviceKind()).windowOffsetRegister;
}

void CDeviceGPUISOImpl::EnableROMAccess()
{
    // A nested enable keeps what the outermost one saved: saving the debug
    // port again would record it switched off as the state to restore.
    if (m_enableDepth > 0)
    {
        ++m_enableDepth;
        return;
    }
    IPCIDeviceAccessor& pci = Accessor();
    pci.Lock();
    m_savedDebugPort = pci.Read32(kDebugPortRegister);
    pci.Write32(kDebugPortRegister, m_savedDebugPort & ~1u);
    if (!m_windowOffsetSaved && HasWindowOffsetRegister())
    {
        m_savedWindowOffset = Read32(kWindowOffsetRegister);
        Write32(kWindowOffsetRegister, m_savedWindowOffset & ~1u);
        m_windowOffsetSaved = true;
    }
    m_enableDepth = 1;
}

void CDeviceGPUISOImpl::RestoreROMAccess()
{
    if (m_enableDepth > 1)
    {
        --m_enableDepth;
        return;
    }
    const bool saved = m_enableDepth == 1;
    m_enableDepth = 0;
    try
    {
        Accessor().Unlock();
    }
    catch (const std::exception&)
    {
        // A failing unlock never stops a restore.
    }
    if (m_windowOffsetSaved && HasWindowOffsetRegister())
    {
        RunRestoreStep("the ROM window offset",
                       [&]
                       {
                           const uint32_t current = Read32(kWindowOffsetRegister);
                           Write32(kWindowOffsetRegister,
                                   (current & ~1u) | (m_savedWindowOffset & 1u));
                       });
        m_windowOffsetSaved = false;
    }
    if (saved)
    {
        RunRestoreStep("the debug port",
                       [&] { Accessor().Write32(kDebugPortRegister, m_savedDebugPort); });
    }
}

bool CDeviceGPUISOImpl::IsROMAccessEnabled()
{
    return true;
}

bool CDeviceGPUISOImpl::IsDebugPortEnabled()
{
    return (Accessor().Read32(kDebugPortRegister) & 1u) != 0;
}

uint32_t CDeviceGPUISOImpl::GetROMType(bool fromStraps)
{
    if (!fromStraps)
    {
        return 0;
    }
    return kRomTypeByStrap[(Accessor().Read32(kStrapRegister) >> 22) & 3u];
}

bool CDeviceGPUISOImpl::IsROMTypeZero(bool fromStraps)
{
    return GetROMType(fromStraps) == 0;
}

uint32_t CDeviceGPUISOImpl::ReadROMControl()
{
    return Accessor().Read32(kControlRegister);
}

void CDeviceGPUISOImpl::WriteROMControl(uint32_t value)
{
    Accessor().Write32(kControlRegister, value);
}

void CDeviceGPUISOImpl::IdleROMControl()
{
    IdleDeviceROMControl(*this);
}

uint8_t CDeviceGPUISOImpl::ReadROMWindowByte(uint32_t offset)
{
    return Read8(WindowRegister(kRomWindow, kRomWindowSize, offset, "ROM window"));
}

void CDeviceGPUISOImpl::UpdateROMWindowOffset(uint32_t offset)
{
    if (!HasWindowOffsetRegister())
    {
        return;
    }
    const uint32_t current = Read32(kWindowOffsetRegister);
    Write32(kWindowOffsetRegister, (current & 0xFF000003u) | (offset & 0x00FFFFFCu));
}

// ---------------------------------------------------------------------------
// Ports and the hardware mutex

std::vector<uint8_t> CDeviceGPUISOImpl::GetI2CPorts()
{
    const uint32_t architecture = GetArchitecture();
    const uint32_t implementation = GetImplementation();
    uint16_t mask = 0x03FF;
    if (architecture == 5 || architecture == 8)
    {
        mask = 0x000F;
    }
    else if (architecture == 9)
    {
        mask = implementation == 2 ? 0x000F : 0x003F;
    }
    else if (architecture == 10)
    {
        switch (implementation)
        {
        case 0:
        case 6:
        case 7:
        case 9:
        case 10:
        case 11:
        case 12:
            mask = 0x003F;
            break;
        default:
            mask = 0x03FF;
            break;
        }
    }
    std::vector<uint8_t> ports;
    PortMaskToList(ports, mask);
    return ports;
}

bool CDeviceGPUISOImpl::HasHardwareMutex()
{
    const uint32_t architecture = GetArchitecture();
    if (architecture == 5 || architecture == 8 || architecture == 9)
    {
        return false;
    }
    if (architecture == 10)
    {
        switch (GetImplementation())
        {
        case 0:
        case 6:
        case 7:
        case 9:
        case 10:
        case 11:
        case 12:
            return false;
        default:
            return true;
        }
    }
    return true;
}

CDeviceGPUISOImpl::MutexRegisterSet CDeviceGPUISOImpl::GetMutexRegisters() const
{
    return {0x10A488, 0x10A48C, 0x10A580, 16};
}

uint32_t CDeviceGPUISOImpl::AcquireMutexId()
{
    if (m_mutexOwnerId == kNoMutexId)
    {
        m_mutexOwnerId = Read32(GetMutexRegisters().idRegister) & 0xFFu;
    }
    return m_mutexOwnerId;
}

void CDeviceGPUISOImpl::ReleaseMutexId()
{
    if (m_mutexOwnerId != kNoMutexId)
    {
        Write32(GetMutexRegisters().releaseRegister, m_mutexOwnerId);
        m_mutexOwnerId = kNoMutexId;
    }
}

bool CDeviceGPUISOImpl::IsMutexOwned(uint32_t mutex)
{
    if (!HasHardwareMutex())
    {
        return true;
    }
    const MutexRegisterSet registers = GetMutexRegisters();
    if (mutex >= registers.count)
    {
        return false;
    }
    return (Read32(registers.firstMutex + 4 * mutex) & 0xFFu) == AcquireMutexId();
}

bool CDeviceGPUISOImpl::AcquireMutex(uint32_t mutex)
{
    if (!HasHardwareMutex())
    {
        return true;
    }
    const MutexRegisterSet registers = GetMutexRegisters();
    if (mutex >= registers.count)
    {
        return false;
    }
    const uint32_t reg = registers.firstMutex + 4 * mutex;
    Write32(reg, AcquireMutexId());
    ICrossPlatform* platform = GetCrossPlatform();
    platform->StartTimeout(kMutexTimeoutMicroseconds);
    bool owned = IsMutexOwned(mutex);
    for (uint32_t poll = 0; !owned && poll < kMutexPollBound; ++poll)
    {
        if (platform->GetTimeoutRemaining() == 0)
        {
            break;
        }
        Delay(1);
        owned = IsMutexOwned(mutex);
    }
    if (!owned && IsMutexOwned(mutex))
    {
        // Granted after the last poll, to a program that has stopped
        // waiting: give it back. Writing 0 releases whoever holds the mutex,
        // so it is written only while the register holds this program's own
        // ID; a mutex another agent holds is never touched.
        Write32(reg, 0);
    }
    return owned;
}

bool CDeviceGPUISOImpl::ReleaseMutex(uint32_t mutex)
{
    if (!HasHardwareMutex())
    {
        return true;
    }
    const bool owned = IsMutexOwned(mutex);
    if (owned)
    {
        Write32(GetMutexRegisters().firstMutex + 4 * mutex, 0);
    }
    return owned;
}

bool CDeviceGPUISOImpl::AcquireI2CPort(uint8_t port)
{
    if (!HasI2CPort(port))
    {
        PrintInvalidPort(port);
        return false;
    }
    if (!AcquireMutex(kI2CMutex))
    {
        return false;
    }
    m_acquiredPorts |= 1u << port;
    return true;
}

bool CDeviceGPUISOImpl::ReleaseI2CPort(uint8_t port)
{
    if (port == kAllPorts)
    {
        m_acquiredPorts = 0;
        m_lineCacheValid.fill(false);
    }
    else if (IsValidPortIndex(port) && HasI2CPort(port))
    {
        m_acquiredPorts &= ~(1u << port);
        m_lineCacheValid[port] = false;
    }
    else
    {
        PrintInvalidPort(port);
    }
    return m_acquiredPorts == 0 ? ReleaseMutex(kI2CMutex) : false;
}

bool CDeviceGPUISOImpl::IsControllerPort(uint8_t port)
{
    const uint32_t architecture = GetArchitecture();
    return (architecture == 10 || architecture == 12 || architecture == 13) && port >= 6;
}

void CDeviceGPUISOImpl::BeginI2CPortAccess(uint8_t port)
{
    if (IsControllerPort(port))
    {
        const uint32_t c = port - 6u;
        const uint32_t enable = kControllerEnable + kControllerStride * c;
        Write32(enable, Read32(enable) | 1u | (1u << 14) | (1u << 15));
        const uint32_t mode = kControllerMode + kControllerStride * c;
        Write32(mode, Read32(mode) & ~1u);
    }
    const uint32_t saved = ReadLineRegister(port);
    const uint32_t software = (saved | 4u) & ~8u;
    WriteLineRegister(port, software);
    if (IsValidPortIndex(port))
    {
        m_savedLineRegister[port] = saved;
        m_lineCache[port] = software;
        m_lineCacheValid[port] = true;
    }
}

void CDeviceGPUISOImpl::EndI2CPortAccess(uint8_t port)
{
    if (IsValidPortIndex(port))
    {
        WriteLineRegister(port, m_savedLineRegister[port]);
        m_lineCache[port] = m_savedLineRegister[port];
        m_lineCacheValid[port] = true;
    }
    if (IsControllerPort(port))
    {
        const uint32_t c = port - 6u;
        const uint32_t mode = kControllerMode + kControllerStride * c;
        Write32(mode, Read32(mode) & ~1u);
        const uint32_t enable = kControllerEnable + kControllerStride * c;
        Write32(enable, Read32(enable) & ~(1u | (1u << 14) | (1u << 15)));
    }
}

// ---------------------------------------------------------------------------
// Line registers

uint32_t CDeviceGPUISOImpl::GetI2CPortRegister(uint32_t kind, uint8_t port)
{
    struct Bases
    {
        uint32_t low;    // ports 0-3, 24 apart
        uint32_t middle; // ports 4-5
        uint32_t middleStride;
        uint32_t high; // ports 6 and up, 28 apart
    };
    static constexpr std::array<Bases, 7> kBases{{
        {0xE128, 0xE244, 24, 0xE754},
        {0xE124, 0xE240, 24, 0xE750},
        {0xE12C, 0xE248, 24, 0xE758},
        {0xE138, 0xE254, 32, 0xE764},
        {0xE134, 0xE250, 32, 0xE760},
        {0xE130, 0xE24C, 24, 0xE75C},
        {0xE338, 0xE398, 24, 0xE768},
    }};
    if (kind >= kBases.size())
    {
        return 0;
    }
    const Bases& bases = kBases[kind];
    if (port < 4)
    {
        return bases.low + 24u * port;
    }
    if (port < 6)
    {
        return bases.middle + bases.middleStride * (port - 4u);
    }
    return bases.high + 28u * (port - 6u);
}

uint32_t CDeviceGPUISOImpl::ReadLineRegister(uint8_t port)
{
    return Read32(GetI2CPortRegister(3, port));
}

void CDeviceGPUISOImpl::WriteLineRegister(uint8_t port, uint32_t value)
{
    Write32(GetI2CPortRegister(3, port), value);
}

I2CLineState CDeviceGPUISOImpl::GetI2CLines(uint8_t port)
{
    const uint32_t value = ReadLineRegister(port);
    return {BitOf(value, 1), BitOf(value, 0)};
}

I2CLineState CDeviceGPUISOImpl::GetCachedI2CLines(uint8_t port)
{
    if (!IsValidPortIndex(port) || !m_lineCacheValid[port])
    {
        return {-1, -1};
    }
    return {BitOf(m_lineCache[port], 1), BitOf(m_lineCache[port], 0)};
}

void CDeviceGPUISOImpl::SetI2CLines(uint8_t port, I2CLineState lines)
{
    const bool cached = IsValidPortIndex(port) && m_lineCacheValid[port];
    uint32_t value = cached ? m_lineCache[port] : ReadLineRegister(port);
    value = (value | 4u) & ~8u;
    if (lines.sda != -1)
    {
        value = SetBit(value, 1, lines.sda != 0);
    }
    if (lines.scl != -1)
    {
        value = SetBit(value, 0, lines.scl != 0);
    }
    WriteLineRegister(port, value);
    if (IsValidPortIndex(port))
    {
        m_lineCache[port] = value;
        m_lineCacheValid[port] = true;
    }
}

// ---------------------------------------------------------------------------
// Display probe

bool CDeviceGPUISOImpl::IsAnyI2CControllerBusy(uint32_t firstStatusRegister)
{
    for (uint32_t i = 0; i < 4; ++i)
    {
        if (Read32(firstStatusRegister + kControllerStride * i) & kControllerBusyBit)
        {
            return true;
        }
    }
    return false;
}

bool CDeviceGPUISOImpl::IsI2CControllerBusy()
{
    return IsAnyI2CControllerBusy(kIsoControllerStatus);
}

bool CDeviceGPUISOImpl::ProbeDisplayOnPorts()
{
    const uint8_t address = 0x50 << 1;
    for (const uint8_t port : GetI2CPorts())
    {
        const CI2CPortScope held(*this, port);
        if (!held.IsHeld() || !IsProbeableI2CAddress(address))
        {
            continue;
        }
        Delay(5);
        const bool found = I2CWrite(port, address, {}, 0, false) == kI2CDone;
        I2CStop(port);
        if (found)
        {
            return true;
        }
    }
    return false;
}

bool CDeviceGPUISOImpl::IsI2CActive()
{
    return ProbeDisplayOnPorts() || IsI2CControllerBusy();
}

// ---------------------------------------------------------------------------
// Pad configuration

uint32_t CDeviceGPUISOImpl::GetPadConfigRegister(uint8_t port, uint32_t& field)
{
    static constexpr std::array<uint32_t, 4> kRegisters{0xE104, 0xE108, 0xE280, 0xE284};
    field = port % 8u;
    return port / 8u < kRegisters.size() ? kRegisters[port / 8u] : 0;
}

uint32_t CDeviceGPUISOImpl::GetPadSelectRegister(uint8_t port, uint32_t& bit)
{
    static constexpr std::array<uint32_t, 2> kRegisters{0xE100, 0xE28C};
    bit = port % 16u;
    return port / 16u < kRegisters.size() ? kRegisters[port / 16u] : 0;
}

void CDeviceGPUISOImpl::SetI2CPortConfig(uint8_t port, const I2CPortConfig& config)
{
    uint32_t field = 0;
    uint32_t bit = 0;
    const uint32_t configRegister = GetPadConfigRegister(port, field);
    const uint32_t selectRegister = GetPadSelectRegister(port, bit);
    if (configRegister == 0 || selectRegister == 0)
    {
        return;
    }
    uint32_t pad = Read32(configRegister);
    uint32_t select = Read32(selectRegister);
    pad = SetBit(pad, 4 * field, config.option1 == 1);
    pad = SetBit(pad, 4 * field + 1, config.option2 == 1);
    pad = SetBit(pad, 4 * field + 3, config.option3 == 1);
    select = SetBit(select, bit, config.mode == 1);
    select = SetBit(select, bit + 16, config.mode == 2);
    Write32(configRegister, pad);
    Write32(selectRegister, select);
}

void CDeviceGPUISOImpl::GetI2CPortConfig(uint8_t port, I2CPortConfig& config)
{
    uint32_t field = 0;
    uint32_t bit = 0;
    const uint32_t configRegister = GetPadConfigRegister(port, field);
    const uint32_t selectRegister = GetPadSelectRegister(port, bit);
    if (configRegister == 0 || selectRegister == 0)
    {
        return;
    }
    const uint32_t pad = Read32(configRegister);
    const uint32_t select = Read32(selectRegister);
    config.option1 = BitOf(pad, 4 * field);
    config.option2 = BitOf(pad, 4 * field + 1);
    config.state = BitOf(pad, 4 * field + 2);
    config.option3 = BitOf(pad, 4 * field + 3);
    config.mode = BitOf(select, bit + 16) ? 2 : (BitOf(select, bit) ? 1 : 0);
}
