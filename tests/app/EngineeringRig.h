#pragma once
// The engineering flasher in process on a simulated machine: GPUs at chosen
// PCI locations behind a root port per bus, each with a serial flash chip
// holding its firmware; typed keys; and runs of the application whose
// standard output and error the tests read.

#include "app/RomviseBaseApp.h"
#include "sim/SimMachine.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct RigGpu
{
    uint8_t bus = 1;
    uint8_t device = 0;
    uint16_t deviceId = 0x0800;
    std::vector<uint8_t> firmware; // empty: an erased chip
};

// The application with its protected parts within reach of the tests.
class CTestRomviseApp : public CRomviseBaseApp
{
public:
    CTestRomviseApp(int argc, char** argv) : CRomviseBaseApp(argc, argv) {}
    using CRomviseBaseApp::RunCommand;
    using CRomviseBaseApp::selectedBus;
    using CRomviseBaseApp::selectedDevice;
    using CRomviseBaseApp::selectedFunction;
    using CRomviseBaseApp::selectedSegment;
};

class CEngineeringRig
{
public:
    // `lowPower`: on a battery charged 20 percent.
    explicit CEngineeringRig(const std::vector<RigGpu>& gpus, bool lowPower = false);
    // On a machine the test made.
    static std::unique_ptr<CEngineeringRig> OnMachine(std::shared_ptr<CSimMachine> machine);
    ~CEngineeringRig();

    // Makes the command line from the words (program name first added) and
    // creates the application over it.
    template <typename App = CTestRomviseApp>
    std::unique_ptr<App> MakeApp(const std::vector<std::string>& words)
    {
        SetArguments(words);
        return std::make_unique<App>(static_cast<int>(m_argv.size()), m_argv.data());
    }
    // A whole run of the application; out and err hold what it wrote.
    int Run(CRomviseBaseApp& app, const std::string& keys = "");
    int Run(const std::vector<std::string>& words, const std::string& keys = "");
    void Type(const std::string& keys);

    CSimMachine& Machine() { return scope->Machine(); }
    bool DriverBound(uint8_t bus, uint8_t device) const;
    uint64_t HardwareAccesses();

    testkit::CScratchDirectory folder{"romvise-app"};
    std::unique_ptr<CSimHardwareScope> scope;
    CRefPtr<CTypedConsole> console;
    std::string out;
    std::string err;

private:
    struct OwnMachine
    {
    };
    CEngineeringRig(std::shared_ptr<CSimMachine> machine, OwnMachine);
    void SetArguments(const std::vector<std::string>& words);
    std::vector<std::string> m_words;
    std::vector<char*> m_argv;
};

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Firmware of the test adapters: device 0x0800, board 0x0201 unless given.
std::vector<uint8_t> RigFirmware(uint32_t version = 0x86041B00, uint16_t boardId = 0x0201);
