#pragma once
// The operating-system layer over the installed platform services. While it
// lives, break keys and termination requests are swallowed; when it goes, they
// and the terminal's mode are put back.

#include "core/CrossPlatform.h"
#include "core/platform/PlatformServices.h"

class CCrossPlatformLinuxImpl : public CReferenceCountImpl, public ICrossPlatform
{
public:
    explicit CCrossPlatformLinuxImpl(const PlatformServices& services);
    ~CCrossPlatformLinuxImpl() override;
    ROMVISE_REFCOUNT_FORWARD

    void DelayMicroseconds(uint32_t microseconds) override;
    std::string GetSystemErrorText(uint32_t code) override;
    void StartTimeout(uint32_t microseconds) override;
    uint32_t GetTimeoutRemaining() override;
    int GetKey() override;
    void Beep(int32_t frequency, uint32_t durationMs) override;
    void SetKeyboardLights(uint8_t light0, uint8_t light1, uint8_t light2) override;
    bool GetKeyboardLight(int32_t index) override;
    void Reboot() override;
    bool IsPowerSufficient() override;
    int32_t GetReservedValue() override;
    std::vector<DisplayDeviceRecord> GetDisplayDevices(CLog* log) override;
    bool IsWow64() override;
    std::string GetDeviceDescription(uint16_t deviceId, uint16_t vendorId, CLog* log) override;
    std::string GetWorkingDirectory() override;
    int GetKeyWithEcho() override;
    bool ReadLine(std::string& line) override;

private:
    IClock& Clock();

    PlatformServices m_services;
    uint64_t m_timeoutDeadline = 0;
    bool m_timeoutArmed = false;
};
