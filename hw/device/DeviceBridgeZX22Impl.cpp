#include "hw/device/DeviceBridgeZX22Impl.h"

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kConfigRevision = 0x08;
constexpr uint8_t kRevisionWithBarQuirk = 0xA1;
constexpr uint32_t kBarTopMask = 0xFF000000;
// Bits of the placement register a move keeps: 0-9 and 11-13.
constexpr uint32_t kPlacementKeptBits = 0x3BFF;
constexpr uint32_t kWindowIndexMask = 0x3FFFF;
constexpr uint32_t kWindowShift = 14;

std::string LocationOf(IPCIDeviceAccessor& function)
{
    std::ostringstream text;
    function.PrintLocation(text, true);
    return text.str();
}

uint32_t WindowBase(int32_t window)
{
    return (static_cast<uint32_t>(window) & kWindowIndexMask) << kWindowShift;
}
} // namespace

CDeviceBridgeZX22Impl::CDeviceBridgeZX22Impl(CRefPtr<IPCIDeviceAccessor> accessor)
    : CDeviceBridgeImpl(std::move(accessor), kDeviceKindZX22),
      m_busNumbers(Accessor().ReadConfig32(kConfigBusNumbers))
{
}

CDeviceBridgeZX22Impl::~CDeviceBridgeZX22Impl() = default;

// ---------------------------------------------------------------------------
// Register access through the bound window

IPCIDeviceAccessor& CDeviceBridgeZX22Impl::BoundWindow()
{
    if (m_windowIndex == -1 || !m_windowAccessor)
    {
        throw std::runtime_error("The registers of ZX22 bridge " + LocationOf(Accessor()) +
                                 " are not reachable: no GPU behind it shows its register window.");
    }
    return *m_windowAccessor;
}

uint32_t CDeviceBridgeZX22Impl::MapMCCRegisterOffset(uint32_t offset)
{
    BoundWindow();
    if (m_searchContext && m_searchContext->CurrentMode() == 1)
    {
        // The windows may have moved since the search: find this bridge's
        // again. Its trace lines belong to the log file only.
        CLog& log = *GetLog();
        log.SetLevel(2);
        const CRefPtr<IPCIDeviceAccessor> gpu = m_windowAccessor;
        m_windowIndex = ArrangeMCCWindows(gpu, log);
        BoundWindow();
    }
    return offset + WindowBase(m_windowIndex);
}

void CDeviceBridgeZX22Impl::MapRegisters()
{
    BoundWindow().MapRegisters();
}

void CDeviceBridgeZX22Impl::UnmapRegisters()
{
    // Nothing is mapped while no window is bound.
    if (m_windowIndex != -1 && m_windowAccessor)
    {
        m_windowAccessor->UnmapRegisters();
    }
}

uint8_t CDeviceBridgeZX22Impl::Read8(uint32_t offset)
{
    const uint32_t at = MapMCCRegisterOffset(offset);
    return m_windowAccessor->Read8(at);
}

void CDeviceBridgeZX22Impl::Write8(uint32_t offset, uint8_t value)
{
    const uint32_t at = MapMCCRegisterOffset(offset);
    m_windowAccessor->Write8(at, value);
}

uint32_t CDeviceBridgeZX22Impl::Read32(uint32_t offset)
{
    const uint32_t at = MapMCCRegisterOffset(offset);
    return m_windowAccessor->Read32(at);
}

void CDeviceBridgeZX22Impl::Write32(uint32_t offset, uint32_t value)
{
    const uint32_t at = MapMCCRegisterOffset(offset);
    m_windowAccessor->Write32(at, value);
}

bool CDeviceBridgeZX22Impl::IsBar0Assigned()
{
    return m_windowIndex != -1 && m_windowAccessor && m_windowAccessor->IsBar0Assigned();
}

uint8_t CDeviceBridgeZX22Impl::GetSecondaryBus()
{
    return ReadBridgeSecondaryBus(*this);
}

// ---------------------------------------------------------------------------
// EEPROM access

void CDeviceBridgeZX22Impl::EnableROMAccess()
{
    // A nested enable keeps what the outermost one saved: saving again would
    // record the switched-off debug state as the one to restore.
    if (m_enableDepth > 0)
    {
        ++m_enableDepth;
        return;
    }
    const uint32_t debug = Read32(kRegisterDebug);
    m_savedDebug = debug;
    Write32(kRegisterDebug, debug & ~1u);
    m_enableDepth = 1;
}

void CDeviceBridgeZX22Impl::RestoreROMAccess()
{
    if (m_enableDepth > 1)
    {
        --m_enableDepth;
        return;
    }
    const bool saved = m_enableDepth == 1;
    m_enableDepth = 0;
    if (!saved)
    {
        return;
    }
    // Restores run from scope guards: a failure is reported, not thrown.
    try
    {
        Write32(kRegisterDebug, m_savedDebug);
    }
    catch (const std::exception& error)
    {
        CLog& log = *GetLog();
        log.SetLevel(4);
        log << "Could not restore the debug switch of ZX22 bridge " << LocationOf(Accessor())
            << ": " << error.what() << std::endl;
    }
}

bool CDeviceBridgeZX22Impl::IsROMAccessEnabled()
{
    return true;
}

bool CDeviceBridgeZX22Impl::IsDebugPortEnabled()
{
    return (Read32(kRegisterDebug) & 1) != 0;
}

uint32_t CDeviceBridgeZX22Impl::GetROMType(bool fromStraps)
{
    if (!fromStraps)
    {
        return 0;
    }
    static constexpr uint32_t kTypeByStrap[4] = {0, 1, 2, 4};
    return kTypeByStrap[(Read32(kRegisterStraps) >> 6) & 3];
}

bool CDeviceBridgeZX22Impl::IsROMTypeZero(bool)
{
    return false;
}

uint32_t CDeviceBridgeZX22Impl::ReadROMControl()
{
    return Read32(kRegisterROMControl);
}

void CDeviceBridgeZX22Impl::WriteROMControl(uint32_t value)
{
    Write32(kRegisterROMControl, value);
}

void CDeviceBridgeZX22Impl::IdleROMControl()
{
    IdleDeviceROMControl(*this);
}

uint8_t CDeviceBridgeZX22Impl::ReadROMByte(int32_t offset)
{
    if (offset < 0 || offset >= static_cast<int32_t>(kROMWindowSize))
    {
        return 0xFF;
    }
    return Read8(kROMWindow + static_cast<uint32_t>(offset));
}

namespace
{
// Outside the window a write would land on the bridge's registers.
void CheckROMRange(int32_t offset, uint32_t length)
{
    if (offset < 0 ||
        !RangeFits(static_cast<uint32_t>(offset), length, CDeviceBridgeZX22Impl::kROMWindowSize))
    {
        throw std::out_of_range("ZX22 EEPROM offset " +
                                ToHexString(static_cast<uint32_t>(offset), 8) +
                                " lies outside its 4 KiB window.");
    }
}
} // namespace

void CDeviceBridgeZX22Impl::WriteROMByte(int32_t offset, uint8_t value)
{
    CheckROMRange(offset, 1);
    Write8(kROMWindow + static_cast<uint32_t>(offset), value);
}

void CDeviceBridgeZX22Impl::WriteROMDword(int32_t offset, uint32_t value)
{
    CheckROMRange(offset, 4);
    CDeviceBridgeImpl::WriteROMDword(offset, value);
}

uint8_t CDeviceBridgeZX22Impl::ReadROMWindowByte(uint32_t offset)
{
    return offset >= kROMWindowSize ? 0xFF : ReadROMByte(static_cast<int32_t>(offset));
}

// ---------------------------------------------------------------------------
// Windows in a GPU's BAR0

uint32_t CDeviceBridgeZX22Impl::ReadMCCRegister(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                                int32_t window, uint32_t offset)
{
    return gpu->Read32(WindowBase(window) + offset);
}

void CDeviceBridgeZX22Impl::WriteMCCRegister(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window,
                                             uint32_t offset, uint32_t value)
{
    gpu->Write32(WindowBase(window) + offset, value);
}

bool CDeviceBridgeZX22Impl::IsZX22DeviceId(uint32_t ids)
{
    const uint32_t zx22 = static_cast<uint32_t>(GetZX22DeviceIdBase()) << 16 | kKorvanVendorId;
    return (ids & 0xFFF0FFFF) == zx22;
}

bool CDeviceBridgeZX22Impl::HasZX22AtMCCWindow(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                               int32_t window)
{
    return IsZX22DeviceId(ReadMCCRegister(gpu, window, kRegisterIds));
}

int32_t CDeviceBridgeZX22Impl::GetMCCWindowBusDelta(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                                    int32_t window,
                                                    const CRefPtr<IPCIDeviceAccessor>& reference)
{
    const uint8_t primary = static_cast<uint8_t>(ReadMCCRegister(gpu, window, kRegisterBusNumbers));
    return static_cast<int32_t>(primary) - static_cast<int32_t>(reference->GetBus());
}

bool CDeviceBridgeZX22Impl::IsMCCWindowOfBridge(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                                int32_t window,
                                                const CRefPtr<IPCIDeviceAccessor>& reference)
{
    return GetMCCWindowBusDelta(gpu, window, reference) == 0 && HasZX22AtMCCWindow(gpu, window);
}

bool CDeviceBridgeZX22Impl::ModifyMCCRegOffsetAddr(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                                   int32_t target, int32_t current, CLog& log)
{
    if (!HasZX22AtMCCWindow(gpu, current))
    {
        return false;
    }
    const uint32_t busNumbers = ReadMCCRegister(gpu, current, kRegisterBusNumbers);
    log << "ModifyMCCRegOffsetAddr," << LocationOf(*gpu) << "," << ToHex(WindowBase(target), 8)
        << "," << ToHex(WindowBase(current), 8) << "," << ToHex(busNumbers, 8) << std::endl;
    const uint32_t top = gpu->ReadConfig32(kConfigBar0) & kBarTopMask;
    const uint32_t placement = ReadMCCRegister(gpu, current, kRegisterPlacement);
    WriteMCCRegister(gpu, current, kRegisterWindowOffset, WindowBase(target));
    // From this write on the bridge answers at the target window.
    WriteMCCRegister(gpu, current, kRegisterPlacement,
                     (top + WindowBase(target)) | (placement & kPlacementKeptBits));
    return true;
}

void CDeviceBridgeZX22Impl::MoveUpstreamMCCWindow(
    const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t target, int32_t current,
    const std::vector<CRefPtr<IPCIDeviceAccessor>>& upstream, CLog& log)
{
    for (const CRefPtr<IPCIDeviceAccessor>& bridge : upstream)
    {
        if (IsMCCWindowOfBridge(gpu, current, bridge))
        {
            ModifyMCCRegOffsetAddr(gpu, target, current, log);
        }
    }
}

std::string CDeviceBridgeZX22Impl::StateLine(int32_t window, int32_t delta)
{
    const uint32_t primary = static_cast<uint32_t>(Accessor().GetBus() + delta) & 0xFF;
    const char* sign = delta == 0 ? "0" : (delta < 0 ? "-" : "+");
    return "," + ToHex(WindowBase(window), 8) + ":" + ToHex(primary, 2) + ":" + sign;
}

int32_t CDeviceBridgeZX22Impl::ProbeMCCWindows(const CRefPtr<IPCIDeviceAccessor>& gpu, CLog& log)
{
    for (const int32_t window : {kLowerWindow, kUpperWindow})
    {
        const int32_t delta = GetMCCWindowBusDelta(gpu, window, AccessorRef());
        log << LocationOf(*gpu) << StateLine(window, delta) << std::endl;
        if (IsMCCWindowOfBridge(gpu, window, AccessorRef()))
        {
            return window;
        }
    }
    return -1;
}

int32_t CDeviceBridgeZX22Impl::ArrangeMCCWindows(const CRefPtr<IPCIDeviceAccessor>& gpu, CLog& log)
{
    int32_t lower = GetMCCWindowBusDelta(gpu, kLowerWindow, AccessorRef());
    int32_t upper = GetMCCWindowBusDelta(gpu, kUpperWindow, AccessorRef());
    log << LocationOf(*gpu) << StateLine(kLowerWindow, lower) << StateLine(kUpperWindow, upper)
        << std::endl;
    if (lower != 0 && upper != 0)
    {
        // Both windows show other bridges: move an upstream one that sits
        // where this bridge should answer.
        if (upper < 0)
        {
            MoveUpstreamMCCWindow(gpu, kLowerWindow, kUpperWindow, m_upstreamBridges, log);
        }
        upper = GetMCCWindowBusDelta(gpu, kUpperWindow, AccessorRef());
        if (upper != 0)
        {
            MoveUpstreamMCCWindow(gpu, kUpperWindow, kLowerWindow, m_upstreamBridges, log);
        }
        lower = GetMCCWindowBusDelta(gpu, kLowerWindow, AccessorRef());
        log << LocationOf(*gpu) << StateLine(kLowerWindow, lower) << StateLine(kUpperWindow, upper)
            << std::endl;
    }
    int32_t result = -1;
    if (lower == 0 && HasZX22AtMCCWindow(gpu, kLowerWindow))
    {
        result = kLowerWindow;
    }
    if (upper == 0 && HasZX22AtMCCWindow(gpu, kUpperWindow))
    {
        result = kUpperWindow;
    }
    return result;
}

int32_t CDeviceBridgeZX22Impl::FindMCCRegOffsetAddr(const CRefPtr<IPCIDeviceAccessor>& gpu,
                                                    int32_t mode, CLog& log)
{
    const uint8_t revision = static_cast<uint8_t>(Accessor().ReadConfig32(kConfigRevision));
    log.SetLevel(2);
    log << "FindMCCRegOffsetAddr(ZX22),REV:" << ToHex(revision, 2) << ",AT:" << mode << std::endl;
    if (revision == kRevisionWithBarQuirk)
    {
        // This revision needs the GPU's BAR0 rewritten with its low 24 bits
        // clear before the window shows.
        const uint32_t top = gpu->ReadConfig32(kConfigBar0) & kBarTopMask;
        gpu->WriteConfig32(kConfigBar0, 0xFFFFFFFF);
        static_cast<void>(gpu->ReadConfig32(kConfigBar0));
        gpu->WriteConfig32(kConfigBar0, top);
    }
    gpu->MapRegisters();
    struct UnmapOnExit
    {
        IPCIDeviceAccessor& gpu;
        ~UnmapOnExit()
        {
            try
            {
                gpu.UnmapRegisters();
            }
            catch (const std::exception&)
            {
                // An unmapping failure never hides the search's own error.
            }
        }
    } unmap{*gpu};
    switch (mode)
    {
    case 0:
        return ProbeMCCWindows(gpu, log);
    case 1:
        return ArrangeMCCWindows(gpu, log);
    default:
        return -1;
    }
}

// ---------------------------------------------------------------------------
// The search after the bus scan

void CDeviceBridgeZX22Impl::ScanForChildren(
    const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates, CLog& log)
{
    ScanForChildren(candidates, log, CRefPtr<CZX22SearchContext>(new CZX22SearchContext));
}

void CDeviceBridgeZX22Impl::CollectUpstreamAndCandidates(
    const std::vector<CRefPtr<IPCIDeviceAccessor>>& functions,
    std::vector<CRefPtr<IPCIDeviceAccessor>>& gpus, CLog& log)
{
    const uint8_t primary = PrimaryBus();
    for (const CRefPtr<IPCIDeviceAccessor>& function : functions)
    {
        if (IsZX22DeviceId(function->ReadConfig32(0)))
        {
            const uint32_t buses = function->ReadConfig32(kConfigBusNumbers);
            const uint8_t secondary = static_cast<uint8_t>(buses >> 8);
            const uint8_t subordinate = static_cast<uint8_t>(buses >> 16);
            if (secondary < primary && primary <= subordinate)
            {
                log << "USB," << LocationOf(*function) << std::endl;
                m_upstreamBridges.push_back(function);
            }
            continue;
        }
        const uint8_t bus = function->GetBus();
        if (SecondaryBus() < bus && bus <= SubordinateBus() && function->IsBar0Assigned())
        {
            log << "DSG," << LocationOf(*function) << std::endl;
            gpus.push_back(function);
        }
    }
}

void CDeviceBridgeZX22Impl::ScanForChildren(
    const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates, CLog& log,
    CRefPtr<CZX22SearchContext> context)
{
    if (!context)
    {
        context = CRefPtr<CZX22SearchContext>(new CZX22SearchContext);
    }
    m_searchContext = context;
    log.SetLevel(2);
    log << "ScanForChildren(ZX22)," << LocationOf(Accessor()) << ",PRI:" << ToHex(PrimaryBus(), 2)
        << ",SEC:" << ToHex(SecondaryBus(), 2) << ",SUB:" << ToHex(SubordinateBus(), 2)
        << std::endl;
    std::vector<CRefPtr<IPCIDeviceAccessor>> gpus;
    CollectUpstreamAndCandidates(candidates, gpus, log);

    for (size_t position = context->Position(); position < CZX22SearchContext::kModes.size();
         ++position)
    {
        const int32_t mode = CZX22SearchContext::kModes[position];
        bool bound = false;
        // Every candidate is tried; the last to answer, the first in list
        // order, is kept.
        for (auto gpu = gpus.rbegin(); gpu != gpus.rend(); ++gpu)
        {
            const int32_t window = FindMCCRegOffsetAddr(*gpu, mode, log);
            if (window != -1)
            {
                m_windowAccessor = *gpu;
                m_windowIndex = window;
                context->AdvanceTo(position);
                bound = true;
            }
        }
        if (bound)
        {
            return;
        }
    }
}
