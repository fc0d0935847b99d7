#pragma once
// A machine for the engineering rig whose adapters carry Kestrix engines.

#include "EngineeringRig.h"

#include "sim/SimGpu.h"
#include "sim/SimKestrix.h"
#include "sim/SimSpiFlash.h"
#include "testkit/machine/AdapterMachine.h"

#include <cstdint>
#include <memory>
#include <string>

// Dolvik1 GPUs, one per bus behind its own root port, each with its Kestrix
// engines ("kestrix", then "kestrix1", ...).
inline std::shared_ptr<CSimMachine> MakeKestrixMachine(const SimKestrixConfig& config,
                                                       uint8_t gpus = 1)
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    const SimFlashPart& part = CSimSpiFlash::FindPart(0xEF, 0x3013);
    for (uint8_t i = 0; i < gpus; ++i)
    {
        const auto bus = static_cast<uint8_t>(1 + i);
        AddSimRootPort(*machine, {0, bus, 0}, bus, bus);
        CSimGpu& gpu = AddSimGpu(*machine, {bus, 0, 0}, 0x0C00, 12, kDolvikBar + i * 0x2000000u,
                                 0x7E2B, 0x0C10);
        AddSimSpiChip(*machine, gpu, part, "chip" + std::to_string(i));
        const std::string name = i == 0 ? "kestrix" : "kestrix" + std::to_string(i);
        machine->AddDevice(std::make_shared<CSimKestrix>(name, gpu, config));
    }
    return machine;
}
