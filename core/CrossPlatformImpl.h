#pragma once
// The operating-system layer over the installed platform services. While it
// lives, break keys and termination requests are swallowed; when it goes, they
// and the terminal's mode are put back.

#include "core/CrossPlatform.h"
#include "core/platform/PlatformServices.h"

#include <set>

class CCrossPlatformImpl : public CReferenceCountImpl, public ICrossPlatform
{
public:
    explicit CCrossPlatformImpl(const PlatformServices& services);
    ~CCrossPlatformImpl() override;
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
    std::string GetStateDirectory() override;
    int GetKeyWithEcho() override;
    bool ReadLine(std::string& line) override;
    int GetAnswerKey(bool echo) override;
    bool IsConsoleInteractive() override;

    void SetActiveAdapter(CRefPtr<IAdapterContext> adapter) override;
    CRefPtr<IAdapterContext> GetActiveAdapter() override;
    void SetPrimaryAdapter(CRefPtr<IAdapterContext> adapter) override;
    CRefPtr<IAdapterContext> GetPrimaryAdapter() override;
    void SetAdapterCount(int32_t count) override;
    bool IsActiveAdapterManaged() override;
    int32_t GetActiveAdapterBus() override;
    int32_t GetActiveAdapterDevice() override;
    void SetFlashContext(CRefPtr<IReferenceCount> loader, CRefPtr<IReferenceCount> eeprom,
                         CRefPtr<IReferenceCount> eepromDatabase) override;
    IReferenceCount* GetFlashLoader() override;
    CRefPtr<IReferenceCount> GetFlashEEPROM() override;
    CRefPtr<IReferenceCount> GetFlashEEPROMDatabase() override;
    void SetDisplayDriverHook(CRefPtr<IDisplayDriverHook> hook) override;
    bool IsDisplayDriverDisabled() override;
    bool ToggleDisplayDriver(CLog* log) override;
    void RestoreDisplayDriver(CLog* log) override;
    bool DisableDeviceDriver(const std::string& idText, CLog* log) override;
    void EnableDeviceDriver(CLog* log) override;

    // Waits for a device state change or D3-cold retry take these.
    static constexpr uint32_t kToggleWaitMicroseconds = 10000;
    static constexpr uint32_t kDeviceWaitMicroseconds = 5000;
    static constexpr uint32_t kD3ColdRetryMicroseconds = 100000;
    static constexpr int kD3ColdRestoreAttempts = 50;

private:
    IClock& Clock();
    // One key from the console, past the line end that followed the last
    // answer when one is due.
    int ReadConsoleKey(bool echo);
    bool IsPrimaryAdapterReady();
    void DisableD3Cold(CLog& log);
    void RestoreD3Cold(CLog& log);
    bool ShowMonitorWarningIfDue(CLog& log);
    bool DisableDevices(CLog& log);
    bool EnableDevices(CLog& log);
    // Disables one device when it is the maker's, started and may be disabled;
    // true when it was disabled now.
    bool DisableIfStarted(const DeviceEntry& device, uint32_t waitMicroseconds, CLog& log);
    // Enables again the remembered devices of `disabled` that the list still
    // shows disabled; those enabled (or found enabled) leave the set, the
    // others are reported. False when the device list cannot be made.
    bool EnableRemembered(std::set<std::string>& disabled, uint32_t waitMicroseconds, CLog& log);
    void ReleaseFlashLoader();

    PlatformServices m_services;
    uint64_t m_timeoutDeadline = 0;
    bool m_timeoutArmed = false;
    // The last console read answered a question with a key: the next read
    // drops the line end that directly follows it.
    bool m_answerLineEndDue = false;

    CRefPtr<IAdapterContext> m_activeAdapter;
    CRefPtr<IAdapterContext> m_primaryAdapter;
    int32_t m_adapterCount = 0;
    CRefPtr<IReferenceCount> m_flashLoader;
    // The loader whose release is under way; still reported as registered.
    IReferenceCount* m_releasingLoader = nullptr;
    CRefPtr<IReferenceCount> m_flashEeprom;
    CRefPtr<IReferenceCount> m_flashEepromDatabase;
    CRefPtr<IDisplayDriverHook> m_hook;
    bool m_d3ColdDisabled = false;
    // The devices this object disabled, by instance ID: by the driver toggle
    // and by the single-device disabling. Only these are enabled again.
    std::set<std::string> m_toggledDevices;
    std::set<std::string> m_disabledDevices;
};
