#include "sim/SimPlatform.h"

#include "sim/SimMachine.h"

#include <cstring>
#include <filesystem>

namespace
{
class CSimPowerSource : public CReferenceCountImpl, public IPowerSource
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CSimPowerSource(std::shared_ptr<CSimMachine> machine) : m_machine(std::move(machine))
    {
    }

    bool ReadPowerStatus(PowerStatus& status) override
    {
        status = m_machine->Power();
        return true;
    }

private:
    std::shared_ptr<CSimMachine> m_machine;
};

class CSimSystemControl : public CReferenceCountImpl, public ISystemControl
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CSimSystemControl(std::shared_ptr<CSimMachine> machine) : m_machine(std::move(machine))
    {
    }

    void Reboot() override { m_machine->RecordReboot(); }
    bool IsWow64() override { return false; }

    std::string GetSystemErrorText(uint32_t code) override
    {
        if (code == 0)
        {
            return "";
        }
        const std::string text = std::strerror(static_cast<int>(code));
        return text.rfind("Unknown error", 0) == 0 ? "" : text;
    }

    std::string GetWorkingDirectory() override
    {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        return error ? "" : current.string();
    }

    std::string GetStateDirectory() override { return m_machine->StateDirectory(); }

private:
    std::shared_ptr<CSimMachine> m_machine;
};

class CSimTrustedRootSource : public CReferenceCountImpl, public ITrustedRootSource
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CSimTrustedRootSource(std::shared_ptr<CSimMachine> machine)
        : m_machine(std::move(machine))
    {
    }

    void ReadTrustedRoot(TrustedRoot& root) override { root = m_machine->RootInForce(); }

private:
    std::shared_ptr<CSimMachine> m_machine;
};
} // namespace

CRefPtr<ITrustedRootSource> CreateSimTrustedRootSource(std::shared_ptr<CSimMachine> machine)
{
    return CRefPtr<ITrustedRootSource>(new CSimTrustedRootSource(std::move(machine)));
}

CRefPtr<IPowerSource> CreateSimPowerSource(std::shared_ptr<CSimMachine> machine)
{
    return CRefPtr<IPowerSource>(new CSimPowerSource(std::move(machine)));
}

CRefPtr<ISystemControl> CreateSimSystemControl(std::shared_ptr<CSimMachine> machine)
{
    return CRefPtr<ISystemControl>(new CSimSystemControl(std::move(machine)));
}

uint8_t BatteryFlagFor(uint8_t percent, bool charging)
{
    uint8_t flag = 0;
    if (percent > 66)
    {
        flag |= PowerStatus::kBatteryHigh;
    }
    if (percent < 33)
    {
        flag |= PowerStatus::kBatteryLow;
    }
    if (percent < 5)
    {
        flag |= PowerStatus::kBatteryCritical;
    }
    if (charging)
    {
        flag |= PowerStatus::kBatteryCharging;
    }
    return flag;
}
