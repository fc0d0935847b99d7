#include "testkit/machine/SimGpuRig.h"

#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <vector>

uint8_t RigEepromByte(size_t offset)
{
    return static_cast<uint8_t>((offset * 7 + offset / 256) & 0xFF);
}

CSimGpuRig::CSimGpuRig(const SimGpuConfig& config, size_t eepromSize)
    : machine(MakeMachineWithMcfg()), scope(machine)
{
    machine->AddFunction(0, 1, 0).MakeBridge(0, kRigGpuBus, kRigGpuBus);
    function = &AddTestFunction(*machine, kRigGpuBus, 0, 0, kKorvanVendorId, 0x1000, kRigGpuBar,
                                CSimGpu::kBarSize);
    function->Store(0x04, 2, 0x0006);
    auto model = std::make_shared<CSimGpu>("gpu", *function, config);
    gpu = model.get();
    eeprom = std::make_shared<CSimChipStore>(eepromSize);
    std::vector<uint8_t> contents(eepromSize);
    for (size_t i = 0; i < eepromSize; ++i)
    {
        contents[i] = RigEepromByte(i);
    }
    eeprom->Write(0, contents);
    gpu->SetContents(eeprom);
    machine->AddDevice(model);
}

CRefPtr<IPCIDeviceAccessor> CSimGpuRig::OpenAccessor()
{
    return CreatePCIDeviceAccessor(GetRomviseDriver(), 0, kRigGpuBus, 0, 0, -1, 0, 0);
}
