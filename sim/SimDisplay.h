#pragma once
// The operating system's view of a simulated machine's display devices: every
// reachable PCI function is a listed device; the maker's display functions
// start with their display driver bound. Disabling a device unbinds its
// driver (problem 22) and enabling binds it again. Each of the maker's GPUs
// also has a D3-cold setting. A device can be listed that the PCI walk does
// not reach, as when the driver holds a GPU that then hides from the bus.

#include "core/platform/ID3ColdControl.h"
#include "core/platform/IDisplayDeviceManager.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CSimMachine;

class CSimDisplayDevices : public CReferenceCountImpl,
                           public IDisplayDeviceManager,
                           public ID3ColdControl
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CSimDisplayDevices(std::shared_ptr<CSimMachine> machine);
    // Records the state each display with a driver ends in, when the machine
    // keeps a display record.
    ~CSimDisplayDevices() override;

    // "0000:bb:dd.f".
    static std::string InstanceId(uint8_t bus, uint8_t device, uint8_t function);

    // IDisplayDeviceManager.
    bool ListDevices(std::vector<DeviceEntry>& devices) override;
    uint32_t GetDeviceStatus(const std::string& instanceId, DeviceStatus& status) override;
    uint32_t ChangeDeviceState(const std::string& instanceId, EDeviceStateChange change,
                               EDeviceStateScope scope) override;

    // ID3ColdControl.
    int32_t EnumerateGpus(std::vector<std::string>& gpus) override;
    int32_t QueryD3Cold(const std::string& gpu, uint32_t& allowed) override;
    int32_t SetD3Cold(const std::string& gpu, bool allowed) override;

    // State, for tests and machine files.
    bool IsDriverBound(const std::string& instanceId);
    void SetDriverBound(const std::string& instanceId, bool bound);
    bool IsD3ColdAllowed(const std::string& instanceId);
    // A maker GPU the system lists at this address that the PCI walk does not
    // reach while its driver holds it. Disabling its driver calls `appear`
    // (which may add the function to the machine); from then on the GPU is
    // listed as the machine shows it.
    void AddHiddenGpu(uint8_t bus, uint8_t device, uint8_t function, uint16_t deviceId,
                      std::function<void()> appear = {});
    // Every state change asked, in order: "disable 0000:01:00.0".
    const std::vector<std::string>& Changes() const { return m_changes; }
    // Makes ListDevices fail.
    void SetListFails(bool fails) { m_listFails = fails; }

private:
    struct State
    {
        bool hasDriver = false;
        bool bound = false;
        bool d3ColdAllowed = true;
    };
    struct Listed
    {
        DeviceEntry entry;
        bool makerDisplay = false;
    };
    std::vector<Listed> Enumerate();
    State& StateOf(const std::string& instanceId, bool makerDisplay);
    // Appends a line to the machine's display record, when it keeps one.
    void Record(const std::string& line) const;

    std::shared_ptr<CSimMachine> m_machine;
    std::map<std::string, State> m_states;
    struct Hidden
    {
        uint8_t bus, device, function;
        uint16_t deviceId;
        std::function<void()> appear;
    };
    std::vector<Hidden> m_hidden;
    std::vector<std::string> m_changes;
    bool m_listFails = false;
};

// The simulated display devices installed as the platform's service; null
// when another service is installed.
CSimDisplayDevices* GetSimDisplayDevices();
