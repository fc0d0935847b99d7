#pragma once
// A simulated machine holding one GPU model of a chosen generation on bus 1
// behind a root port, made the process's hardware, with an EEPROM of known
// contents and the accessor a device class is built over.
//
//   CSimGpuRig rig(SimGpuConfigForKind(6));
//   CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), 6);
//   rig.gpu->Port(1).AddSlave(...);

#include "hw/IPCIDeviceAccessor.h"
#include "sim/ChipStore.h"
#include "sim/SimGpu.h"
#include "testkit/machine/SimHardware.h"

#include <memory>

constexpr uint32_t kRigGpuBar = 0xF0000000;
constexpr uint8_t kRigGpuBus = 1;

class CSimGpuRig
{
public:
    // The EEPROM holds `eepromSize` bytes, byte i being (i * 7 + i / 256) & 0xFF
    // (RigEepromByte), so every offset is told apart.
    explicit CSimGpuRig(const SimGpuConfig& config, size_t eepromSize = 0x100000);

    CRefPtr<IPCIDeviceAccessor> OpenAccessor();

    std::shared_ptr<CSimMachine> machine;
    CSimHardwareScope scope;
    CSimPciFunction* function = nullptr;
    CSimGpu* gpu = nullptr;
    std::shared_ptr<CSimChipStore> eeprom;
};

uint8_t RigEepromByte(size_t offset);
