#pragma once
// A transport that records what it is asked, in order, and fails the steps a
// test names. Memory is a flat array behind linear addresses from 0x10000.

#include "hw/DriverTransportBase.h"

#include <map>
#include <string>
#include <vector>

class CFakeTransport : public CDriverTransportBase
{
public:
    static constexpr uint64_t kLinearBase = 0x10000;

    std::vector<std::string> calls;
    // Code returned by a step, by name ("CreateService", "StartService", ...).
    std::map<std::string, uint32_t> failures;
    bool compatibilityMode = false;
    std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000, 0);
    uint64_t lastMapPhysical = 0;
    uint64_t lastMapLength = 0;

    uint32_t CreateService(const std::string& name, const std::string& path) override
    {
        return Step("CreateService",
                    [&] { return CDriverTransportBase::CreateService(name, path); });
    }
    uint32_t OpenService(const std::string& name) override
    {
        return Step("OpenService", [&] { return CDriverTransportBase::OpenService(name); });
    }
    uint32_t StartService() override
    {
        return Step("StartService", [&] { return CDriverTransportBase::StartService(); });
    }
    uint32_t StopService() override
    {
        return Step("StopService", [&] { return CDriverTransportBase::StopService(); });
    }
    uint32_t RemoveService() override
    {
        return Step("RemoveService", [&] { return CDriverTransportBase::RemoveService(); });
    }
    uint32_t OpenDevice() override
    {
        return Step("OpenDevice", [&] { return CDriverTransportBase::OpenDevice(); });
    }
    uint32_t CloseDevice() override
    {
        return Step("CloseDevice", [&] { return CDriverTransportBase::CloseDevice(); });
    }
    bool IsCompatibilityMode() override { return compatibilityMode; }

    uint32_t MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear) override
    {
        lastMapPhysical = physical;
        lastMapLength = length;
        linear = kLinearBase + physical;
        return Step("MapPhysical", [] { return 0u; });
    }
    uint32_t UnmapPhysical(uint64_t, uint64_t) override
    {
        return Step("UnmapPhysical", [] { return 0u; });
    }
    uint32_t ReadPort32(uint32_t port, uint32_t& value) override
    {
        value = 0xC0DE0000 | port;
        return Step("ReadPort32", [] { return 0u; });
    }
    uint32_t WritePort32(uint32_t port, uint32_t value) override
    {
        calls.push_back("WritePort32 " + std::to_string(port) + " " + std::to_string(value));
        return failures.count("WritePort32") ? failures["WritePort32"] : 0;
    }

    uint8_t ReadMemory8(uint64_t linear) override { return memory.at(linear - kLinearBase); }
    uint16_t ReadMemory16(uint64_t linear) override { return ReadMemory8(linear); }
    uint32_t ReadMemory32(uint64_t linear) override { return ReadMemory8(linear); }
    void WriteMemory8(uint64_t linear, uint8_t value) override
    {
        memory.at(linear - kLinearBase) = value;
    }
    void WriteMemory16(uint64_t linear, uint16_t value) override
    {
        WriteMemory8(linear, static_cast<uint8_t>(value));
    }
    void WriteMemory32(uint64_t linear, uint32_t value) override
    {
        WriteMemory8(linear, static_cast<uint8_t>(value));
    }

protected:
    uint32_t OpenAccess() override { return 0; }
    void CloseAccess() override {}

private:
    template <class Real> uint32_t Step(const std::string& name, Real real)
    {
        calls.push_back(name);
        const auto failure = failures.find(name);
        return failure != failures.end() ? failure->second : real();
    }
};

inline CRefPtr<CFakeTransport> MakeTransport()
{
    return CRefPtr<CFakeTransport>(new CFakeTransport);
}
