#pragma once
// Recording fakes of every platform service, for tests.
//
// Each fake does what a test tells it to and records what it was asked. Fakes
// are reference counted like the real services; hold them in CRefPtr.
//
// The quickest start is CFakePlatform, which makes one of each, installs them
// as the platform services and undoes that when it goes:
//
//   CFakePlatform platform;                       // all fakes installed
//   platform.console->keys = {'y'};               // the next key read
//   ICrossPlatform* os = GetCrossPlatform();      // the layer over the fakes
//   os->DelayMicroseconds(10);                    // platform.clock->NowMicroseconds() == 10
//
// CFakePlatform releases every singleton (ReleaseSingletons) when it is made
// and when it goes, so each test gets a fresh operating-system layer and user
// interface over its own fakes. Make it before any other singleton a test
// needs (the command line, for one), or that singleton is released with the rest.

#include "core/platform/PlatformServices.h"

#include <cstdint>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A virtual clock: a wait advances it at once and is recorded.
class CFakeClock : public CReferenceCountImpl, public IClock
{
public:
    ROMVISE_REFCOUNT_FORWARD
    uint64_t NowMicroseconds() override { return now; }
    void WaitMicroseconds(uint64_t microseconds) override
    {
        waits.push_back(microseconds);
        now += microseconds;
    }

    uint64_t now = 0;
    std::vector<uint64_t> waits; // every wait asked for, in order
};

// Console input from queues. An empty queue is end of input.
class CFakeConsoleInput : public CReferenceCountImpl, public IConsoleInput
{
public:
    ROMVISE_REFCOUNT_FORWARD
    int ReadKeyWithoutEcho() override;
    int ReadKeyWithEcho() override;
    bool ReadLine(std::string& line) override;
    void RestoreTerminal() override
    {
        ++restoreCount;
        if (restoreFails)
        {
            throw std::runtime_error("terminal gone");
        }
    }
    bool IsInteractive() override { return interactive; }

    std::deque<int> keys;          // keys for both key reads, first first
    std::deque<std::string> lines; // lines for ReadLine
    int keysWithoutEcho = 0;       // reads made of each kind
    int keysWithEcho = 0;
    int linesRead = 0;
    int restoreCount = 0;
    bool restoreFails = false; // RestoreTerminal throws
    bool interactive = true;   // what IsInteractive says
};

// Records whether breaks are being ignored.
class CFakeBreakHandling : public CReferenceCountImpl, public IBreakHandling
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void IgnoreBreaks() override
    {
        ignoring = true;
        ++ignoreCount;
    }
    void RestoreBreaks() override
    {
        ignoring = false;
        ++restoreCount;
    }

    bool ignoring = false;
    int ignoreCount = 0;
    int restoreCount = 0;
};

// Reports the status set here; readable = false makes the read fail.
class CFakePowerSource : public CReferenceCountImpl, public IPowerSource
{
public:
    ROMVISE_REFCOUNT_FORWARD
    bool ReadPowerStatus(PowerStatus& out) override
    {
        ++reads;
        out = status;
        return readable;
    }

    PowerStatus status{PowerStatus::kAcOnline, 0, 100};
    bool readable = true;
    int reads = 0;
};

// Counts reboots; a non-empty rebootError makes Reboot throw it.
class CFakeSystemControl : public CReferenceCountImpl, public ISystemControl
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void Reboot() override;
    bool IsWow64() override { return wow64; }
    std::string GetSystemErrorText(uint32_t code) override;
    std::string GetWorkingDirectory() override { return workingDirectory; }
    std::string GetStateDirectory() override { return stateDirectory; }

    int rebootCount = 0;
    std::string rebootError;
    bool wow64 = false;
    std::map<uint32_t, std::string> errorTexts; // code -> text; others give ""
    std::string workingDirectory = "/work";
    std::string stateDirectory = "/state";
};

// Records the samples of every tone played.
class CFakeToneOutput : public CReferenceCountImpl, public IToneOutput
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void Play(std::span<const uint8_t> samples, uint32_t samplesPerSecond) override
    {
        played.emplace_back(samples.begin(), samples.end());
        rate = samplesPerSecond;
    }

    std::vector<std::vector<uint8_t>> played; // one entry per tone
    uint32_t rate = 0;
};

// GPUs with a D3-cold setting each. Statuses can be set to make calls fail.
class CFakeD3ColdControl : public CReferenceCountImpl, public ID3ColdControl
{
public:
    ROMVISE_REFCOUNT_FORWARD
    int32_t EnumerateGpus(std::vector<std::string>& out) override;
    int32_t QueryD3Cold(const std::string& gpu, uint32_t& value) override;
    int32_t SetD3Cold(const std::string& gpu, bool value) override;

    struct Gpu
    {
        std::string address;
        bool allowed = true;
        int32_t queryStatus = 0; // non-zero: the query fails with it
        int32_t setStatus = 0;   // non-zero: the setting fails with it
    };
    std::vector<Gpu> gpus;
    int32_t enumerateStatus = 0; // non-zero: the listing fails with it
    int enumerations = 0;
    std::vector<std::pair<std::string, bool>> sets; // every SetD3Cold, in order
};

// A device list with a status per device. Disabling a started device gives it
// problem 22; enabling a device with problem 22 starts it again.
class CFakeDisplayDeviceManager : public CReferenceCountImpl, public IDisplayDeviceManager
{
public:
    ROMVISE_REFCOUNT_FORWARD
    bool ListDevices(std::vector<DeviceEntry>& out) override;
    uint32_t GetDeviceStatus(const std::string& instanceId, DeviceStatus& status) override;
    uint32_t ChangeDeviceState(const std::string& instanceId, EDeviceStateChange change,
                               EDeviceStateScope scope) override;

    struct Device
    {
        DeviceEntry entry;
        DeviceStatus status{
            DeviceStatus::kDriverLoaded | DeviceStatus::kStarted | DeviceStatus::kDisableable, 0};
        uint32_t statusError = 0; // non-zero: GetDeviceStatus fails with it
        uint32_t changeError = 0; // non-zero: ChangeDeviceState fails with it
    };
    struct Change
    {
        std::string instanceId;
        EDeviceStateChange change;
        EDeviceStateScope scope;
    };

    // A started Korvan display device at bus:device.function with the IDs the
    // system gives a PCI function of that vendor, device and class.
    Device& AddPciDevice(const std::string& instanceId, uint16_t vendorId, uint16_t deviceId,
                         uint32_t classCode, uint32_t bus, uint32_t device, uint32_t function,
                         const std::string& description);

    std::vector<Device> devices;
    bool listFails = false;
    std::vector<Change> changes; // every ChangeDeviceState, in order
};

// One fake of each service, installed while this object lives.
class CFakePlatform
{
public:
    CFakePlatform();
    ~CFakePlatform();
    CFakePlatform(const CFakePlatform&) = delete;
    CFakePlatform& operator=(const CFakePlatform&) = delete;

    // Installs the services again, e.g. after a test emptied one of them.
    void Install(const PlatformServices& services);
    PlatformServices Services() const;

    CRefPtr<CFakeClock> clock;
    CRefPtr<CFakeConsoleInput> console;
    CRefPtr<CFakeBreakHandling> breaks;
    CRefPtr<CFakePowerSource> power;
    CRefPtr<CFakeSystemControl> system;
    CRefPtr<CFakeDisplayDeviceManager> devices;
    CRefPtr<CFakeD3ColdControl> d3Cold;
    CRefPtr<CFakeToneOutput> tones;
};
