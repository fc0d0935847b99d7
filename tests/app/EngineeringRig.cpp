#include "EngineeringRig.h"

#include "app/engineering/EngineeringCommands.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "flasher/IFlasher.h"
#include "sim/SimDisplay.h"
#include "sim/SimSpiFlash.h"
#include "testkit/CapturedOutput.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"

#include <cstdio>
#include <iostream>
#include <set>
#include <sstream>

namespace
{
// Every application the tests create reaches the engineering commands, as
// romvise's does once its main has installed them.
const bool kCommandsInstalled = (InstallEngineeringCommands(EngineeringCommands()), true);

constexpr uint32_t kGpuKind = 8;
constexpr uint32_t kFirstBar = 0xC0000000;
constexpr uint32_t kBarStride = 0x2000000;
constexpr uint32_t kSpiEepromStraps = 0x400000;

// A root port per bus leads to the bus's GPUs; each GPU's serial flash chip
// starts with its firmware (erased after it).
std::shared_ptr<CSimMachine> MakeRigMachine(const std::vector<RigGpu>& gpus)
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    std::set<uint8_t> buses;
    for (const RigGpu& gpu : gpus)
    {
        if (buses.insert(gpu.bus).second)
        {
            AddSimRootPort(*machine, {0, gpu.bus, 0}, gpu.bus, gpu.bus);
        }
    }
    const SimFlashPart& part = CSimSpiFlash::FindPart(0xEF, 0x3013);
    for (size_t i = 0; i < gpus.size(); ++i)
    {
        const RigGpu& gpu = gpus[i];
        CSimGpu& model = AddSimGpu(*machine, {gpu.bus, gpu.device, 0}, gpu.deviceId, kGpuKind,
                                   kFirstBar + static_cast<uint32_t>(i) * kBarStride, 0x7E2B,
                                   0x0001, 0x030000, kSpiEepromStraps);
        AddSimSpiChip(*machine, model, part, "chip" + std::to_string(i), gpu.firmware);
    }
    return machine;
}
} // namespace

std::vector<uint8_t> RigFirmware(uint32_t version, uint16_t boardId)
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001);
    testkit::InfoToken info;
    info.boardId = boardId;
    info.version = version;
    builder.Info(info).Version(version, 2);
    return builder.Build();
}

CEngineeringRig::CEngineeringRig(const std::vector<RigGpu>& gpus, bool lowPower)
{
    std::shared_ptr<CSimMachine> machine = MakeRigMachine(gpus);
    if (lowPower)
    {
        machine->Power().acLineStatus = PowerStatus::kAcOffline;
        machine->Power().batteryFlag = PowerStatus::kBatteryLow;
        machine->Power().batteryLifePercent = 20;
    }
    scope = std::make_unique<CSimHardwareScope>(machine);
    console = InstallTypedConsole();
}

std::unique_ptr<CEngineeringRig> CEngineeringRig::OnMachine(std::shared_ptr<CSimMachine> machine)
{
    return std::unique_ptr<CEngineeringRig>(new CEngineeringRig(std::move(machine), OwnMachine{}));
}

CEngineeringRig::CEngineeringRig(std::shared_ptr<CSimMachine> machine, OwnMachine)
{
    scope = std::make_unique<CSimHardwareScope>(std::move(machine));
    console = InstallTypedConsole();
}

CEngineeringRig::~CEngineeringRig()
{
    GetCrossPlatform()->SetDisplayDriverHook(nullptr);
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
    GetCrossPlatform()->SetActiveAdapter(nullptr);
}

void CEngineeringRig::SetArguments(const std::vector<std::string>& words)
{
    m_words = {"romvise"};
    m_words.insert(m_words.end(), words.begin(), words.end());
    m_argv.clear();
    for (std::string& word : m_words)
    {
        m_argv.push_back(word.data());
    }
}

void CEngineeringRig::Type(const std::string& keys)
{
    for (const char key : keys)
    {
        console->keys.push_back(static_cast<unsigned char>(key));
    }
}

int CEngineeringRig::Run(CRomviseBaseApp& app, const std::string& keys)
{
    console->keys.clear();
    Type(keys);
    GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
    testkit::CCapturedOutput outText;
    testkit::CCapturedOutput errText(std::cerr);
    const int result = app.Run();
    out = outText.Text();
    err = errText.Text();
    return result;
}

int CEngineeringRig::Run(const std::vector<std::string>& words, const std::string& keys)
{
    std::unique_ptr<CTestRomviseApp> app = MakeApp(words);
    return Run(*app, keys);
}

bool CEngineeringRig::DriverBound(uint8_t bus, uint8_t device) const
{
    return GetSimDisplayDevices()->IsDriverBound(CSimDisplayDevices::InstanceId(bus, device, 0));
}

uint64_t CEngineeringRig::HardwareAccesses()
{
    const SimCounters& counters = Machine().Counters();
    return counters.registerReads + counters.registerWrites + counters.portReads +
           counters.portWrites + counters.configReads + counters.configWrites +
           counters.mapRequests;
}
