#pragma once
// The maker's ZX22 PCI Express bridge. Its registers are not reached through
// its own BAR0 but through a 16 KiB window (the MCC window) inside the BAR0 of
// a GPU behind it, at window index 6 or 7 (GPU offsets 0x18000 and 0x1C000).
// ScanForChildren finds which GPU and window show this bridge, moving an
// upstream ZX22's window out of the way when both sit where this one should;
// every register access then goes through that GPU's accessor. Until a window
// is bound, register access is refused.
//
// Window registers: 0x0000 IDs, 0x0018 bus numbers, 0x0210 debug switch
// (bit 0), 0x0600/0x0604 window placement, 0x0B00 EEPROM type strap
// (bits 6-7), 0x0B04 EEPROM control, 0x1000-0x1FFF the firmware EEPROM bytes.

#include "core/RefCount.h"
#include "hw/device/DeviceBridgeImpl.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

// The search modes of one bus scan and the position of the one that bound a
// bridge last. Mode 0 only probes the windows; mode 1 also moves upstream
// bridges' windows. Once mode 1 has bound a bridge, later searches of the same
// scan start with it, and the bridges bound in that scan re-arrange the windows
// before each register access. A new scan starts with a new context, at mode 0.
class CZX22SearchContext : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD

    static constexpr std::array<int32_t, 2> kModes{0, 1};

    size_t Position() const { return m_position; }
    int32_t CurrentMode() const { return kModes[m_position]; }
    // The position only moves forward.
    void AdvanceTo(size_t position)
    {
        if (position > m_position && position < kModes.size())
        {
            m_position = position;
        }
    }

private:
    size_t m_position = 0;
};

class CDeviceBridgeZX22Impl : public CDeviceBridgeImpl
{
public:
    static constexpr uint32_t kWindowSize = 0x4000;
    static constexpr int32_t kLowerWindow = 6;
    static constexpr int32_t kUpperWindow = 7;
    static constexpr uint32_t kRegisterIds = 0x0000;
    static constexpr uint32_t kRegisterBusNumbers = 0x0018;
    static constexpr uint32_t kRegisterDebug = 0x0210;
    static constexpr uint32_t kRegisterPlacement = 0x0600;
    static constexpr uint32_t kRegisterWindowOffset = 0x0604;
    static constexpr uint32_t kRegisterStraps = 0x0B00;
    static constexpr uint32_t kRegisterROMControl = 0x0B04;
    static constexpr uint32_t kROMWindow = 0x1000;
    static constexpr uint32_t kROMWindowSize = 0x1000;

    explicit CDeviceBridgeZX22Impl(CRefPtr<IPCIDeviceAccessor> accessor);
    ~CDeviceBridgeZX22Impl() override;

    // A search with a context of its own.
    void ScanForChildren(const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates,
                         CLog& log) override;
    // A search within a bus scan whose ZX22 bridges share `context`.
    void ScanForChildren(const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates, CLog& log,
                         CRefPtr<CZX22SearchContext> context);

    void EnableROMAccess() override;
    void RestoreROMAccess() override;
    bool IsROMAccessEnabled() override;
    bool IsDebugPortEnabled() override;
    uint32_t GetROMType(bool fromStraps) override;
    bool IsROMTypeZero(bool fromStraps) override;
    uint32_t ReadROMControl() override;
    void WriteROMControl(uint32_t value) override;
    void IdleROMControl() override;
    void MapRegisters() override;
    void UnmapRegisters() override;
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;
    // 0xFF outside the 4 KiB EEPROM window.
    uint8_t ReadROMByte(int32_t offset) override;
    // std::out_of_range outside the 4 KiB EEPROM window.
    void WriteROMByte(int32_t offset, uint8_t value) override;
    // Byte by byte, after checking that all four fit the window.
    void WriteROMDword(int32_t offset, uint32_t value) override;
    uint8_t ReadROMWindowByte(uint32_t offset) override;
    bool IsBar0Assigned() override;
    uint8_t GetSecondaryBus() override;

    // The offset in the bound GPU's BAR0 of a bridge register.
    virtual uint32_t MapMCCRegisterOffset(uint32_t offset);
    virtual uint32_t ReadMCCRegister(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window,
                                     uint32_t offset);
    virtual void WriteMCCRegister(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window,
                                  uint32_t offset, uint32_t value);
    // The maker's vendor ID and an ID of the ZX22 block.
    virtual bool IsZX22DeviceId(uint32_t ids);
    virtual bool HasZX22AtMCCWindow(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window);
    // The primary bus of the bridge seen in the window minus the reference's bus.
    virtual int32_t GetMCCWindowBusDelta(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window,
                                         const CRefPtr<IPCIDeviceAccessor>& reference);
    virtual bool IsMCCWindowOfBridge(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t window,
                                     const CRefPtr<IPCIDeviceAccessor>& reference);
    // Moves the ZX22 at `current` to `target`; false when none is there.
    virtual bool ModifyMCCRegOffsetAddr(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t target,
                                        int32_t current, CLog& log);
    virtual void MoveUpstreamMCCWindow(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t target,
                                       int32_t current,
                                       const std::vector<CRefPtr<IPCIDeviceAccessor>>& upstream,
                                       CLog& log);
    // Mode 0 and mode 1 searches: the window showing this bridge, or -1.
    virtual int32_t ProbeMCCWindows(const CRefPtr<IPCIDeviceAccessor>& gpu, CLog& log);
    virtual int32_t ArrangeMCCWindows(const CRefPtr<IPCIDeviceAccessor>& gpu, CLog& log);
    virtual int32_t FindMCCRegOffsetAddr(const CRefPtr<IPCIDeviceAccessor>& gpu, int32_t mode,
                                         CLog& log);

    // The bound window, for the bus scan's report and for tests.
    int32_t GetWindowIndex() const { return m_windowIndex; }
    const CRefPtr<IPCIDeviceAccessor>& GetWindowAccessor() const { return m_windowAccessor; }
    const std::vector<CRefPtr<IPCIDeviceAccessor>>& GetUpstreamBridges() const
    {
        return m_upstreamBridges;
    }

private:
    uint8_t PrimaryBus() const { return static_cast<uint8_t>(m_busNumbers); }
    uint8_t SecondaryBus() const { return static_cast<uint8_t>(m_busNumbers >> 8); }
    uint8_t SubordinateBus() const { return static_cast<uint8_t>(m_busNumbers >> 16); }
    // The bound GPU's accessor; std::runtime_error when no window is bound.
    IPCIDeviceAccessor& BoundWindow();
    std::string StateLine(int32_t window, int32_t delta);
    void CollectUpstreamAndCandidates(const std::vector<CRefPtr<IPCIDeviceAccessor>>& functions,
                                      std::vector<CRefPtr<IPCIDeviceAccessor>>& gpus, CLog& log);

    uint32_t m_busNumbers;
    uint32_t m_savedDebug = 0;
    // Nested enables keep what the outermost one saved.
    int m_enableDepth = 0;
    std::vector<CRefPtr<IPCIDeviceAccessor>> m_upstreamBridges;
    CRefPtr<IPCIDeviceAccessor> m_windowAccessor;
    int32_t m_windowIndex = -1;
    CRefPtr<CZX22SearchContext> m_searchContext;
};
