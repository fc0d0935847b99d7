#pragma once
// A microcode loader that records what the engine asks of it.

#include "flasher/MicrocodeLoader.h"

#include <string>
#include <vector>

class CFakeLoader : public CReferenceCountImpl, public IMicrocodeLoader
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CFakeLoader(uint32_t engineType = 0, bool* destroyed = nullptr)
        : engineType(engineType), m_destroyed(destroyed)
    {
    }
    ~CFakeLoader() override
    {
        if (m_destroyed)
        {
            *m_destroyed = true;
        }
    }

    uint32_t GetEngineType() override { return engineType; }
    void SetPreOSLoaded(bool loaded) override
    {
        preOSLoaded = loaded;
        calls.push_back(loaded ? "pre-OS on" : "pre-OS off");
    }
    void Close() override { calls.push_back("close"); }
    void ResetEngine(CRefPtr<IDisplayAdapter>) override { calls.push_back("reset"); }
    void SetSecureLoading(bool secure, uint32_t base, uint32_t size) override
    {
        calls.push_back(secure ? "secure " + std::to_string(base) + "+" + std::to_string(size)
                               : "plain");
    }
    void WriteMemory(CRefPtr<IDisplayAdapter>, EMicrocodeMemory memory, uint32_t destination,
                     std::span<const uint8_t> bytes) override
    {
        calls.push_back(std::string(memory == EMicrocodeMemory::Code ? "code" : "data") + " @" +
                        std::to_string(destination) + " x" + std::to_string(bytes.size()));
        written.emplace_back(bytes.begin(), bytes.end());
    }
    void StartEngine(CRefPtr<IDisplayAdapter>, uint32_t bootVector) override
    {
        calls.push_back("start @" + std::to_string(bootVector));
    }

    uint32_t engineType;
    bool preOSLoaded = false;
    std::vector<std::string> calls;
    std::vector<std::vector<uint8_t>> written;

private:
    bool* m_destroyed;
};
