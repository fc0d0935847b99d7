#include "hw/device/DeviceBridgePLX8747Impl.h"

#include "core/Log.h"
#include "core/TextHelpers.h"
#include "core/platform/PlatformServices.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgeImpl.h"

#include <exception>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kConfigIds = 0x00;
constexpr uint32_t kConfigHeaderType = 0x0C;
constexpr uint32_t kConfigMemoryWindow = 0x20;
constexpr uint32_t kConfigPrefetchableWindow = 0x24;
constexpr uint32_t kConfigPrefetchableBaseUpper = 0x28;
constexpr uint32_t kConfigPrefetchableLimitUpper = 0x2C;
constexpr uint32_t kDebugControlBit26 = 1u << 26;
constexpr uint32_t kPortControlBit16 = 1u << 16;
constexpr uint32_t kWindowAddressMask = 0xFFF00000;

void LogLine(const std::string& text)
{
    std::ostringstream message;
    message << text;
    LogMessage(message, 3, true);
}

// A base/limit dword (base bits 4-15, limit bits 20-31, each address bits
// 20-31): whether its window holds the 1 MiB at `top`. Both are 1 MiB granular.
bool WindowHolds(uint32_t window, uint32_t top)
{
    const uint32_t base = (window & 0xFFF0) << 16;
    const uint32_t limit = window & kWindowAddressMask;
    return base <= limit && base <= top && top <= limit;
}

// Whether a BAR of `size` bytes at `address` reaches into the 1 MiB at top.
// A BAR whose size the system does not tell may run anywhere up the window:
// it counts as reaching in when it starts at or below the range's end.
bool BarReachesBorrowRange(uint64_t address, uint64_t size, uint32_t top)
{
    const uint64_t end = static_cast<uint64_t>(top) + 0x100000;
    if (size == 0)
    {
        return address < end;
    }
    return address < end && address + size > top;
}

// Whether one function's memory BARs or bridge windows use the 1 MiB at top.
// BARs are not probed (writing one would disturb a live device): their sizes
// come from the system through the accessor, and a BAR is in use when any
// part of its range lies in the top mebibyte. Bridges are judged also by
// their forwarding windows, which hold everything behind them.
bool FunctionUses(IPCIDeviceAccessor& function, uint32_t top, bool isBridge)
{
    const uint32_t barEnd = isBridge ? 0x18 : 0x28;
    for (uint32_t offset = kConfigBar0; offset < barEnd; offset += 4)
    {
        const uint32_t bar = function.ReadConfig32(offset);
        if ((bar & 1) != 0)
        {
            continue; // I/O
        }
        const uint32_t index = (offset - kConfigBar0) / 4;
        uint64_t address = bar & ~0xFu;
        if (((bar >> 1) & 3) == 2 && offset + 4 < barEnd)
        {
            offset += 4;
            address |= static_cast<uint64_t>(function.ReadConfig32(offset)) << 32;
        }
        if (address == 0)
        {
            continue; // not assigned
        }
        if (BarReachesBorrowRange(address, function.GetBarSize(index), top))
        {
            return true;
        }
    }
    if (!isBridge)
    {
        return false;
    }
    if (WindowHolds(function.ReadConfig32(kConfigMemoryWindow), top))
    {
        return true;
    }
    const uint32_t prefetchable = function.ReadConfig32(kConfigPrefetchableWindow);
    const bool wide = (prefetchable & 0xF) == 1;
    const uint32_t baseUpper = wide ? function.ReadConfig32(kConfigPrefetchableBaseUpper) : 0;
    const uint32_t limitUpper = wide ? function.ReadConfig32(kConfigPrefetchableLimitUpper) : 0;
    if (baseUpper != 0)
    {
        return false; // above 4 GiB
    }
    // A limit above 4 GiB holds every address from the base up.
    const uint32_t clipped = limitUpper != 0 ? (prefetchable | kWindowAddressMask) : prefetchable;
    return WindowHolds(clipped, top);
}
} // namespace

CDeviceBridgePLX8747Impl::CDeviceBridgePLX8747Impl(CRefPtr<IPCIDeviceAccessor> accessor)
    : CDeviceBaseImpl(std::move(accessor), kDeviceKindPLX8747),
      m_memoryWindow(Accessor().ReadConfig32(kConfigMemoryWindow))
{
}

CDeviceBridgePLX8747Impl::~CDeviceBridgePLX8747Impl()
{
    try
    {
        UnmapRegisters();
    }
    catch (const std::exception& error)
    {
        LogLine("Could not give back the PLX switch's borrowed BAR0: " + std::string(error.what()));
    }
}

std::string CDeviceBridgePLX8747Impl::Location()
{
    std::ostringstream text;
    Accessor().PrintLocation(text, true);
    return text.str();
}

// ---------------------------------------------------------------------------
// Fixed answers: the EEPROM needs no preparation

void CDeviceBridgePLX8747Impl::EnableROMAccess() {}

void CDeviceBridgePLX8747Impl::RestoreROMAccess() {}

void CDeviceBridgePLX8747Impl::IdleROMControl() {}

bool CDeviceBridgePLX8747Impl::IsROMAccessEnabled()
{
    return true;
}

bool CDeviceBridgePLX8747Impl::IsDebugPortEnabled()
{
    return false;
}

uint32_t CDeviceBridgePLX8747Impl::GetROMType(bool)
{
    return 3;
}

bool CDeviceBridgePLX8747Impl::IsROMTypeZero(bool)
{
    return false;
}

uint8_t CDeviceBridgePLX8747Impl::GetSecondaryBus()
{
    return ReadBridgeSecondaryBus(*this);
}

// ---------------------------------------------------------------------------
// The EEPROM controller

uint32_t CDeviceBridgePLX8747Impl::ReadControllerRegister(uint32_t offset)
{
    return m_controllerInConfig ? Accessor().ReadExtConfig32(offset) : Accessor().Read32(offset);
}

void CDeviceBridgePLX8747Impl::WriteControllerRegister(uint32_t offset, uint32_t value)
{
    if (m_controllerInConfig)
    {
        Accessor().WriteExtConfig32(offset, value);
    }
    else
    {
        Accessor().Write32(offset, value);
    }
}

uint32_t CDeviceBridgePLX8747Impl::ReadROMControl()
{
    return ReadControllerRegister(kRegisterEEPROMControl);
}

void CDeviceBridgePLX8747Impl::WriteROMControl(uint32_t value)
{
    WriteControllerRegister(kRegisterEEPROMControl, value);
}

uint32_t CDeviceBridgePLX8747Impl::CommandWord(uint32_t command, uint32_t index)
{
    uint32_t control = ReadROMControl();
    control &= ~(kControlAddressMask | kControlCommandMask | kControlAddressBit13);
    control |= (index & kControlAddressMask) | command << kControlCommandShift | kControlStart;
    if ((index >> 13) & 1)
    {
        control |= kControlAddressBit13;
    }
    return control;
}

void CDeviceBridgePLX8747Impl::WaitWhileBusy()
{
    uint32_t control = 0;
    for (uint32_t poll = 0; poll < kBusyPollLimit; ++poll)
    {
        control = ReadROMControl();
        if ((control & kControlStart) == 0)
        {
            return;
        }
        GetClock().WaitMicroseconds(kBusyPollIntervalMicroseconds);
    }
    throw std::runtime_error("The EEPROM controller of PLX switch " + Location() +
                             " is still busy after 50 ms (control " + ToHexString(control, 8) +
                             ").");
}

namespace
{
void CheckDwordIndex(uint32_t index)
{
    if (index > CDeviceBridgePLX8747Impl::kMaxDwordIndex)
    {
        throw std::out_of_range("PLX EEPROM dword " + ToHexString(index, 8) +
                                " is beyond the controller's reach.");
    }
}

uint32_t DwordIndexOf(int32_t offset)
{
    if (offset < 0)
    {
        throw std::out_of_range("PLX EEPROM offset " +
                                ToHexString(static_cast<uint32_t>(offset), 8) + " is negative.");
    }
    return static_cast<uint32_t>(offset) >> 2;
}

unsigned LaneShift(int32_t offset)
{
    return 8 * (static_cast<uint32_t>(offset) & 3);
}
} // namespace

uint32_t CDeviceBridgePLX8747Impl::ReadEEPROMDword(uint32_t index)
{
    CheckDwordIndex(index);
    WriteROMControl(CommandWord(kCommandRead, index));
    WaitWhileBusy();
    return ReadControllerRegister(kRegisterEEPROMData);
}

void CDeviceBridgePLX8747Impl::WriteEEPROMDword(uint32_t index, uint32_t value)
{
    CheckDwordIndex(index);
    WriteControllerRegister(kRegisterEEPROMData, value);
    WriteROMControl(kWriteEnableWord);
    WaitWhileBusy();
    WriteROMControl(CommandWord(kCommandWrite, index));
    WaitWhileBusy();
}

uint32_t CDeviceBridgePLX8747Impl::ReadROMDword(int32_t offset)
{
    return ReadEEPROMDword(DwordIndexOf(offset));
}

void CDeviceBridgePLX8747Impl::WriteROMDword(int32_t offset, uint32_t value)
{
    WriteEEPROMDword(DwordIndexOf(offset), value);
}

uint8_t CDeviceBridgePLX8747Impl::ReadROMByte(int32_t offset)
{
    return static_cast<uint8_t>(ReadEEPROMDword(DwordIndexOf(offset)) >> LaneShift(offset));
}

void CDeviceBridgePLX8747Impl::WriteROMByte(int32_t offset, uint8_t value)
{
    const uint32_t index = DwordIndexOf(offset);
    const uint32_t shift = LaneShift(offset);
    const uint32_t dword = ReadEEPROMDword(index);
    WriteEEPROMDword(index, (dword & ~(0xFFu << shift)) | static_cast<uint32_t>(value) << shift);
}

uint8_t CDeviceBridgePLX8747Impl::ReadROMWindowByte(uint32_t offset)
{
    return ReadROMByte(static_cast<int32_t>(offset));
}

// ---------------------------------------------------------------------------
// BAR0: test, borrow and give back

void CDeviceBridgePLX8747Impl::ClearDebugControl()
{
    const uint32_t value = Accessor().ReadExtConfig32(kExtConfigDebugControl);
    m_savedBit26 = (value & kDebugControlBit26) != 0;
    Accessor().WriteExtConfig32(kExtConfigDebugControl, value & ~kDebugControlBit26);
}

void CDeviceBridgePLX8747Impl::RestoreDebugControl()
{
    const uint32_t value = Accessor().ReadExtConfig32(kExtConfigDebugControl);
    Accessor().WriteExtConfig32(kExtConfigDebugControl, m_savedBit26
                                                            ? (value | kDebugControlBit26)
                                                            : (value & ~kDebugControlBit26));
}

bool CDeviceBridgePLX8747Impl::IsBorrowRangeInUse(uint32_t top)
{
    const uint32_t buses = Accessor().ReadConfig32(kConfigBusNumbers);
    const uint32_t secondary = (buses >> 8) & 0xFF;
    const uint32_t subordinate = (buses >> 16) & 0xFF;
    const CRefPtr<IRomviseDriver> driver(GetRomviseDriver());
    for (uint32_t bus = secondary; bus != 0 && bus <= subordinate; ++bus)
    {
        for (uint8_t device = 0; device < 32; ++device)
        {
            for (uint8_t function = 0; function < 8; ++function)
            {
                CRefPtr<IPCIDeviceAccessor> pci =
                    CreatePCIDeviceAccessor(driver, Accessor().GetSegment(),
                                            static_cast<uint8_t>(bus), device, function, -1, 0, 0);
                if ((pci->ReadConfig32(kConfigIds) & 0xFFFF) == 0xFFFF)
                {
                    if (function == 0)
                    {
                        break;
                    }
                    continue;
                }
                const uint32_t headerType = (pci->ReadConfig32(kConfigHeaderType) >> 16) & 0xFF;
                if (FunctionUses(*pci, top, (headerType & 0x7F) == 1))
                {
                    return true;
                }
                if (function == 0 && (headerType & 0x80) == 0)
                {
                    break;
                }
            }
        }
    }
    return false;
}

bool CDeviceBridgePLX8747Impl::IsBar0Assigned()
{
    if (Accessor().IsBar0Assigned())
    {
        return true;
    }
    // The test needs extended configuration space: an MCFG table with an
    // entry to reach it through.
    IAcpiTableAccessor* acpi = GetAcpiTableAccessor();
    if (!acpi->IsMcfgPresent() || !acpi->GetMcfgEntry(0, nullptr, nullptr, nullptr, nullptr))
    {
        return false;
    }
    ClearDebugControl();
    struct RestoreOnExit
    {
        CDeviceBridgePLX8747Impl& device;
        ~RestoreOnExit()
        {
            try
            {
                device.RestoreDebugControl();
            }
            catch (const std::exception& error)
            {
                LogLine("Could not restore the PLX switch's register 0xF60: " +
                        std::string(error.what()));
            }
        }
    } restore{*this};

    const uint32_t window = Accessor().ReadConfig32(kConfigMemoryWindow) & ~0xFu;
    const uint32_t base = (window >> 4) & 0xFFF;
    const uint32_t limit = window >> 20;
    if (limit < base || limit <= 1)
    {
        m_borrowable = false;
        return false; // the switch forwards no usable memory
    }
    const uint32_t top = window & kWindowAddressMask;
    if (IsBorrowRangeInUse(top))
    {
        LogLine("BAR0 is disabled and cannot be borrowed: a device behind the switch uses " +
                ToHexString(top, 8) + ".");
        m_borrowable = false;
        return false;
    }
    const uint32_t original = Accessor().ReadConfig32(kConfigBar0);
    const uint32_t candidate = top - kBorrowSize;
    Accessor().WriteConfig32(kConfigBar0, candidate);
    if (Accessor().ReadConfig32(kConfigBar0) == candidate)
    {
        LogLine("BAR0 is disabled and configurable.");
        m_borrowable = true;
        Accessor().WriteConfig32(kConfigBar0, 0);
    }
    else
    {
        LogLine("BAR0 is disabled and un-configurable.");
        m_borrowable = false;
        // Whatever part of the candidate stuck is not an address to keep.
        Accessor().WriteConfig32(kConfigBar0, original);
    }
    return m_borrowable;
}

void CDeviceBridgePLX8747Impl::MapRegisters()
{
    if (!IsBar0Assigned() || !m_borrowable)
    {
        Accessor().MapRegisters();
        return;
    }
    if (m_borrowed)
    {
        return;
    }
    LogLine("BAR0 is not configured and borrowable, borrowing the resource for BAR0.");
    m_borrowed = true;
    try
    {
        ClearDebugControl();
        AssignBar0Window();
        m_revision = static_cast<uint8_t>(Accessor().ReadExtConfig32(kExtConfigRevision));
        Accessor().MapPhysicalRange(m_borrowedBar0, kBorrowSize);
        if (m_revision >= kConfigSpaceControllerRevision)
        {
            m_controllerInConfig = true;
            Accessor().Write32(kRegisterPortControl,
                               Accessor().Read32(kRegisterPortControl) | kPortControlBit16);
        }
    }
    catch (...)
    {
        // A half-done borrowing is given back before the error goes on.
        try
        {
            GiveBack();
        }
        catch (const std::exception& error)
        {
            LogLine("Could not give back the PLX switch's borrowed BAR0: " +
                    std::string(error.what()));
        }
        throw;
    }
    LogLine("Assigned " + ToHexString(m_borrowedBar0, 8) + " with size " +
            ToHexString(kBorrowSize, 8) + " to BAR0.");
}

void CDeviceBridgePLX8747Impl::UnmapRegisters()
{
    if (m_borrowed)
    {
        GiveBack();
        return;
    }
    m_controllerInConfig = false;
    Accessor().UnmapRegisters();
}

void CDeviceBridgePLX8747Impl::GiveBack()
{
    m_borrowed = false;
    m_borrowable = false;
    // Every step runs even when one fails, so the switch gets back all it
    // can; the first failure is passed on.
    std::exception_ptr failure;
    const auto step = [&failure](auto&& action)
    {
        try
        {
            action();
        }
        catch (...)
        {
            if (!failure)
            {
                failure = std::current_exception();
            }
        }
    };
    if (m_controllerInConfig)
    {
        step(
            [&]
            {
                Accessor().Write32(kRegisterPortControl,
                                   Accessor().Read32(kRegisterPortControl) & ~kPortControlBit16);
            });
    }
    // The controller is back in the BAR0 window from here on.
    m_controllerInConfig = false;
    step([&] { Accessor().UnmapRegisters(); });
    step([&] { ReleaseBar0Window(); });
    step([&] { RestoreDebugControl(); });
    if (failure)
    {
        std::rethrow_exception(failure);
    }
}

void CDeviceBridgePLX8747Impl::AssignBar0Window()
{
    const uint32_t window = Accessor().ReadConfig32(kConfigMemoryWindow);
    m_memoryWindow = window;
    m_borrowedBar0 = window & kWindowAddressMask;
    Accessor().WriteConfig32(kConfigBar0, m_borrowedBar0);
    Accessor().WriteConfig32(kConfigMemoryWindow,
                             ((window & kWindowAddressMask) - kBorrowSize) | (window & 0xFFFF));
}

void CDeviceBridgePLX8747Impl::ReleaseBar0Window()
{
    Accessor().WriteConfig32(kConfigBar0, 0);
    Accessor().WriteConfig32(kConfigMemoryWindow, m_memoryWindow);
}
