#pragma once
// The PLX PEX 8747 PCI Express switch (its upstream function). The switch
// keeps its configuration in a serial EEPROM behind an EEPROM controller of
// its own: every dword goes through the controller's control register (0x260)
// and data register (0x264), which sit in the switch's BAR0 window, or, on
// revisions 0xCA and later while BAR0 is borrowed, in its extended
// configuration space.
//
// Many boards leave the switch's BAR0 unassigned. The class then borrows the
// top 1 MiB of the memory window the switch forwards downstream (when no
// device behind the switch uses it), shrinks that window by 1 MiB, and maps
// the 1 MiB as the register window; unmapping gives everything back.

#include "hw/device/DeviceBaseImpl.h"

#include <string>

class CDeviceBridgePLX8747Impl : public CDeviceBaseImpl
{
public:
    static constexpr uint32_t kRegisterEEPROMControl = 0x260;
    static constexpr uint32_t kRegisterEEPROMData = 0x264;
    static constexpr uint32_t kRegisterPortControl = 0x760;
    static constexpr uint32_t kExtConfigDebugControl = 0xF60;
    static constexpr uint32_t kExtConfigRevision = 0xB7C;
    static constexpr uint32_t kBorrowSize = 0x100000;
    // Control register fields.
    static constexpr uint32_t kControlAddressMask = 0x1FFF;
    static constexpr uint32_t kControlCommandShift = 13;
    static constexpr uint32_t kControlCommandMask = 0x7u << kControlCommandShift;
    static constexpr uint32_t kControlStart = 1u << 18;
    static constexpr uint32_t kControlAddressBit13 = 1u << 20;
    static constexpr uint32_t kCommandRead = 3;
    static constexpr uint32_t kCommandWrite = 2;
    static constexpr uint32_t kWriteEnableWord = 0x00A4C000;
    // The controller addresses 14 bits of dword index.
    static constexpr uint32_t kMaxDwordIndex = 0x3FFF;
    // The busy bit is polled this often, this far apart (50 ms in all; the
    // EEPROM's write cycle takes at most 5 ms).
    static constexpr uint32_t kBusyPollLimit = 5000;
    static constexpr uint32_t kBusyPollIntervalMicroseconds = 10;
    // The first revision whose controller moves to configuration space.
    static constexpr uint8_t kConfigSpaceControllerRevision = 0xCA;

    explicit CDeviceBridgePLX8747Impl(CRefPtr<IPCIDeviceAccessor> accessor);
    ~CDeviceBridgePLX8747Impl() override;

    void EnableROMAccess() override;
    void RestoreROMAccess() override;
    bool IsROMAccessEnabled() override;
    bool IsDebugPortEnabled() override;
    // 3: the EEPROM sits behind the switch's controller.
    uint32_t GetROMType(bool fromStraps) override;
    bool IsROMTypeZero(bool fromStraps) override;
    uint32_t ReadROMControl() override;
    void WriteROMControl(uint32_t value) override;
    void IdleROMControl() override;
    uint8_t ReadROMByte(int32_t offset) override;
    uint32_t ReadROMDword(int32_t offset) override;
    void WriteROMByte(int32_t offset, uint8_t value) override;
    void WriteROMDword(int32_t offset, uint32_t value) override;
    uint8_t ReadROMWindowByte(uint32_t offset) override;
    // True when BAR0 is assigned, or can be borrowed.
    bool IsBar0Assigned() override;
    void MapRegisters() override;
    void UnmapRegisters() override;
    uint8_t GetSecondaryBus() override;

    // One dword of the EEPROM by its index; std::out_of_range beyond the
    // controller's 14-bit index, std::runtime_error when the controller stays
    // busy.
    virtual uint32_t ReadEEPROMDword(uint32_t index);
    virtual void WriteEEPROMDword(uint32_t index, uint32_t value);
    virtual void AssignBar0Window();
    virtual void ReleaseBar0Window();

    // State, for the EEPROM layer's report and for tests.
    bool IsControllerInConfigSpace() const { return m_controllerInConfig; }
    bool IsBorrowed() const { return m_borrowed; }
    uint32_t GetBorrowedBar0() const { return m_borrowedBar0; }
    uint8_t GetChipRevision() const { return m_revision; }

private:
    uint32_t ReadControllerRegister(uint32_t offset);
    void WriteControllerRegister(uint32_t offset, uint32_t value);
    uint32_t CommandWord(uint32_t command, uint32_t index);
    void WaitWhileBusy();
    // Clears bit 26 of 0xF60, keeping its old state for RestoreDebugControl.
    void ClearDebugControl();
    void RestoreDebugControl();
    // Whether a function behind the switch uses the top 1 MiB of its memory
    // window.
    bool IsBorrowRangeInUse(uint32_t top);
    void GiveBack();
    std::string Location();

    uint32_t m_memoryWindow;
    uint32_t m_borrowedBar0 = 0;
    uint8_t m_revision = 0;
    bool m_controllerInConfig = false;
    bool m_borrowable = false;
    bool m_borrowed = false;
    bool m_savedBit26 = false;
};
