#pragma once
// Machine files built in code, for the programs to run on: Korvan GPUs, each
// behind a root port with its serial flash chip kept in a file and, when
// asked, the Kestrix microcontroller through which the later generations
// reach their EEPROM.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace testkit
{
struct MachineGpu
{
    uint16_t deviceId = 0x0800;
    uint32_t deviceKind = 8;
    // The chip's contents, a file relative to the machine file; the chip
    // keeps what programs write into it.
    std::string chipFile;
    std::string part = "EF/3013"; // W25X40A: 512 KiB, 256-byte pages, 4 KiB blocks
    bool kestrix = false;
};

// GPU i sits at bus i + 1 behind a root port at 00:(i + 1).0, its BAR0 at
// 0xC0000000 + i * 32 MiB, named "gpu<i>" (its microcontroller "kestrix<i>").
nlohmann::json MachineWithGpus(const std::vector<MachineGpu>& gpus);
} // namespace testkit
