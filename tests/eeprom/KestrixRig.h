#pragma once
// A simulated Dolvik1 adapter (device 0x0C00) with a serial flash chip and
// the Kestrix engines, made the process's hardware, its adapter object, and a
// user interface and log whose texts the tests read.

#include "core/CrossPlatform.h"
#include "core/UserInterface.h"
#include "eeprom/KestrixLoader.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "sim/SimKestrix.h"
#include "sim/SimSpiFlash.h"
#include "testkit/TextCount.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

class CRecordingUserInterface : public CReferenceCountImpl, public IUserInterface
{
public:
    ROMVISE_REFCOUNT_FORWARD

    void ShowProgress(int, int, int, int) override {}
    void EndProgress(int) override {}
    void ReportErrorLevel(int) override {}
    void ShowMessage(int kind, const std::string& text) override
    {
        messages.push_back(std::to_string(kind) + ":" + text);
    }
    bool Confirm(bool, const std::string&) override { return false; }
    void Signal(int) override {}
    void SetProgressNewline(bool) override {}

    std::vector<std::string> messages;
};

using testkit::CountOf;

inline std::shared_ptr<CSimMachine> MakeKestrixMachine(uint16_t deviceId, uint32_t deviceKind,
                                                       CSimGpu*& gpu)
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    AddSimRootPort(*machine, {0, 1, 0}, 1, 1);
    gpu = &AddSimGpu(*machine, {1, 0, 0}, deviceId, deviceKind, 0xC0000000);
    return machine;
}

struct KestrixRig
{
    explicit KestrixRig(SimKestrixConfig config = {}, uint16_t deviceId = 0x0C00,
                        uint32_t deviceKind = 12)
        : scope(MakeKestrixMachine(deviceId, deviceKind, gpu))
    {
        const SimFlashPart& part = CSimSpiFlash::FindPart(0xC2, 0x2013);
        contents = std::make_shared<CSimChipStore>(part.sizeBytes);
        chip =
            std::make_shared<CSimSpiFlash>("flash", part, ESimSpiFlavour::Standard, contents,
                                           &scope.Machine().Clock(), &scope.Machine().Counters());
        gpu->AttachChip(chip);
        auto model = std::make_shared<CSimKestrix>("kestrix", *gpu, std::move(config));
        kestrix = model.get();
        scope.Machine().AddDevice(model);
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, IPCIBus::Create(),
                          CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                          &log);
        adapter = adapters.at(0);
        log.AddSink(&logText, 1, 5);
        ui = new CRecordingUserInterface();
    }

    ~KestrixRig()
    {
        GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
        GetCrossPlatform()->SetActiveAdapter(nullptr);
    }

    KestrixLoadRequest Request(uint32_t engineType = KESTRIX_PMU)
    {
        KestrixLoadRequest request;
        request.userInterface = ui;
        request.adapter = adapter;
        request.engineType = engineType;
        request.log = &log;
        return request;
    }

    CRefPtr<CKestrixLoader> Load(uint32_t engineType = KESTRIX_PMU)
    {
        return CreateKestrixLoader(Request(engineType));
    }

    uint64_t NowMicroseconds() { return scope.Machine().Clock().NowMicroseconds(); }

    CSimGpu* gpu = nullptr;
    CSimHardwareScope scope;
    std::shared_ptr<CSimChipStore> contents;
    std::shared_ptr<CSimSpiFlash> chip;
    CSimKestrix* kestrix = nullptr;
    CRefPtr<IDisplayAdapter> adapter;
    CRefPtr<CRecordingUserInterface> ui;
    std::ostringstream logText;
    CLog log;
};
