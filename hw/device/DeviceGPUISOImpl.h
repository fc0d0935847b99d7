#pragma once
// ISO GPUs (device kind 6) and the base of every later generation: hardware
// set-up, the debug port and ROM window offset switched around EEPROM access,
// the control register at 0xE204, the ROM window at 0x7E0000, the 0x1084 gate
// around reads of 0x21000-0x21FFF, the timer, the I2C line registers with
// their cache, port acquisition through hardware mutex 5, and the display
// probe.

#include "hw/device/DeviceGPUImpl.h"

#include <array>

class CDeviceGPUISOImpl : public CDeviceGPUImpl
{
public:
    static constexpr uint32_t kDebugPortRegister = 0xE194;
    static constexpr uint32_t kControlRegister = 0xE204;
    static constexpr uint32_t kWindowOffsetRegister = 0xE208;
    static constexpr uint32_t kStrapRegister = 0x101000;
    static constexpr uint32_t kGateRegister = 0x1084;
    static constexpr uint32_t kGateBit = 0x800;
    static constexpr uint32_t kGatedFirst = 0x21000;
    static constexpr uint32_t kGatedLast = 0x21FFF;
    static constexpr uint32_t kTimerRegister = 0x9400;
    static constexpr uint32_t kRomWindow = 0x7E0000;
    // The window runs to the end of the 8 MiB register mapping.
    static constexpr uint32_t kRomWindowSize = 0x20000;
    static constexpr uint8_t kI2CMutex = 5;
    static constexpr uint32_t kNoMutexId = 0xFF;
    static constexpr uint32_t kMutexTimeoutMicroseconds = 100000;
    static constexpr uint8_t kPortCount = 10;
    static constexpr uint8_t kAllPorts = 0xFF;

    CDeviceGPUISOImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);
    ~CDeviceGPUISOImpl() override;

    // Own operations.
    virtual uint32_t AcquireMutexId();
    virtual void ReleaseMutexId();
    virtual bool IsMutexOwned(uint32_t mutex);
    virtual bool AcquireMutex(uint32_t mutex);
    virtual bool ReleaseMutex(uint32_t mutex);
    virtual bool HasHardwareMutex();
    virtual bool IsControllerPort(uint8_t port);
    virtual uint32_t GetPadConfigRegister(uint8_t port, uint32_t& field);
    virtual uint32_t GetPadSelectRegister(uint8_t port, uint32_t& bit);
    virtual bool InitializeHardware();
    virtual bool IsI2CControllerBusy();
    virtual bool ProbeDisplayOnPorts();
    // Register `kind` (0-6) of the port's register block; kind 3 is the line
    // register. 0 for any other kind.
    virtual uint32_t GetI2CPortRegister(uint32_t kind, uint8_t port);

    // IDevice.
    void EnableROMAccess() override;
    void RestoreROMAccess() override;
    bool IsROMAccessEnabled() override;
    bool IsDebugPortEnabled() override;
    uint32_t GetROMType(bool fromStraps) override;
    bool IsROMTypeZero(bool fromStraps) override;
    uint32_t ReadROMControl() override;
    void WriteROMControl(uint32_t value) override;
    void IdleROMControl() override;
    uint8_t ReadROMWindowByte(uint32_t offset) override;
    void UpdateROMWindowOffset(uint32_t offset) override;
    uint8_t Read8(uint32_t offset) override;
    uint32_t Read32(uint32_t offset) override;
    void UnmapRegisters() override;
    uint32_t GetTimerValue() override;
    bool IsI2CActive() override;
    void SetI2CPortConfig(uint8_t port, const I2CPortConfig& config) override;
    void GetI2CPortConfig(uint8_t port, I2CPortConfig& config) override;

    // II2CMaster.
    std::vector<uint8_t> GetI2CPorts() override;
    bool AcquireI2CPort(uint8_t port) override;
    bool ReleaseI2CPort(uint8_t port) override;
    void BeginI2CPortAccess(uint8_t port) override;
    void EndI2CPortAccess(uint8_t port) override;

    // Line access.
    I2CLineState GetI2CLines(uint8_t port) override;
    I2CLineState GetCachedI2CLines(uint8_t port) override;
    void SetI2CLines(uint8_t port, I2CLineState lines) override;

    // State, for callers that check the bookkeeping.
    uint32_t GetAcquiredPortMask() const { return m_acquiredPorts; }
    uint32_t GetMutexOwnerId() const { return m_mutexOwnerId; }
    bool IsHardwareSetUp() const { return m_hardwareSetUp; }

protected:
    struct MutexRegisterSet
    {
        uint32_t idRegister;
        uint32_t releaseRegister;
        uint32_t firstMutex;
        uint32_t count;
    };
    // The mutex unit's registers: the ISO set up to Cendra2, another from
    // Dolvik on.
    virtual MutexRegisterSet GetMutexRegisters() const;
    // Gives back the ports and the mutex owner ID a device still holds when
    // it goes. A destructor calls it while the class's own mutex unit is in
    // force: a generation that moves the unit calls it from its destructor,
    // since by the base's destructor the move no longer applies.
    void GivePortsBackAtEnd() noexcept;
    // The kinds whose ROM window offset register is saved and set: 8 to 13.
    bool HasWindowOffsetRegister();
    bool IsValidPortIndex(uint8_t port) const { return port < kPortCount; }
    uint32_t ReadLineRegister(uint8_t port);
    void WriteLineRegister(uint8_t port, uint32_t value);
    static int BitOf(uint32_t value, unsigned bit) { return static_cast<int>((value >> bit) & 1u); }
    static uint32_t SetBit(uint32_t value, unsigned bit, bool on)
    {
        return on ? (value | (1u << bit)) : (value & ~(1u << bit));
    }
    // Whether any of the four I2C controllers whose status registers start
    // at `firstStatusRegister` (80 bytes apart) shows busy.
    bool IsAnyI2CControllerBusy(uint32_t firstStatusRegister);
    // Runs `read` with the 0x1084 gate open when the offset is gated.
    template <class Read> auto ReadThroughGate(uint32_t offset, Read read);

    std::array<uint32_t, kPortCount> m_lineCache{};
    std::array<bool, kPortCount> m_lineCacheValid{};
    std::array<uint32_t, kPortCount> m_savedLineRegister{};

private:
    void ReleaseAllPortsQuietly();

    uint32_t m_mutexOwnerId = kNoMutexId;
    bool m_hardwareSetUp = false;
    uint32_t m_savedWindowOffset = 0;
    bool m_windowOffsetSaved = false;
    uint32_t m_savedDebugPort = 0;
    // Enables not yet restored; the debug port is written back by the restore
    // that ends the outermost enable, with the value the first enable found.
    uint32_t m_enableDepth = 0;
    uint32_t m_acquiredPorts = 0;
};
