#pragma once
// Simulated machines with the maker's adapters for the adapter, bus-scan and
// display-driver tests: GPUs of a chosen catalogue entry at a PCI address,
// plain root ports, ZX22 bridges and PLX switch ports with their port numbers,
// and a ready-made machine with two GPUs of different generations, one behind
// a ZX22 bridge, and the board MCU on the first.

#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "sim/SimMcu.h"
#include "sim/SimSpiFlash.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct PciLocation
{
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
};

// A GPU function of the vendor and device, class VGA, with its BAR0 at
// `barAddress` (0 leaves it unassigned) and the GPU model of `deviceKind`.
CSimGpu& AddSimGpu(CSimMachine& machine, PciLocation at, uint16_t deviceId, uint32_t deviceKind,
                   uint32_t barAddress, uint16_t subsystemVendorId = 0x7E2B,
                   uint16_t subsystemDeviceId = 0x0001, uint32_t classCode = 0x030000,
                   uint32_t straps = 0);

// A bridge of another maker leading to buses secondary..subordinate.
CSimPciFunction& AddSimRootPort(CSimMachine& machine, PciLocation at, uint8_t secondary,
                                uint8_t subordinate);
// A ZX22 bridge (the first ID of the catalogue's block) with its port number.
CSimPciFunction& AddSimZX22Bridge(CSimMachine& machine, PciLocation at, uint8_t secondary,
                                  uint8_t subordinate, uint8_t portNumber = 0);
// A PLX PEX 8747 port with its port number and a 128 KiB BAR0 at `barAddress`
// (0 leaves it unassigned).
CSimPciFunction& AddSimPlxPort(CSimMachine& machine, PciLocation at, uint8_t secondary,
                               uint8_t subordinate, uint8_t portNumber, uint32_t barAddress = 0);
// A standard serial flash chip of `part` behind the GPU's EEPROM lines,
// holding `firmware` from its first byte and erased after it.
void AddSimSpiChip(CSimMachine& machine, CSimGpu& gpu, const SimFlashPart& part,
                   const std::string& name, std::span<const uint8_t> firmware = {});
// A board MCU on port 1 of the GPU, running `application` (empty: boot loader
// only).
CSimMcuSlave& AddSimMcu(CSimGpu& gpu, const std::vector<uint8_t>& application,
                        SimMcuConfig config = {});

// An MCU firmware file: header (with its checksum and CRC) and `imageSize`
// bytes of application. Project, SKU, branch and version are 4, 4, 2 and 2
// characters.
std::vector<uint8_t> MakeMcuFirmware(uint16_t vendorId, uint16_t deviceId, uint32_t imageSize,
                                     const std::string& project = "KRVN",
                                     const std::string& sku = "S100",
                                     const std::string& branch = "B1",
                                     const std::string& version = "07");

// Two GPUs of different generations: a Dolvik1 C00 (kind 12) at 01:00.0 behind
// a root port at 00:01.0, with the board MCU running firmware version "07",
// and an ISO 610 (kind 6) at 03:00.0 behind a ZX22 bridge at 00:02.0 (whose
// registers show in the ISO's BAR0) and a plain port at 02:00.0.
struct TwoGpuMachine
{
    std::shared_ptr<CSimMachine> machine;
    CSimGpu* dolvik = nullptr;
    CSimGpu* iso = nullptr;
    CSimMcuSlave* mcu = nullptr;
};
TwoGpuMachine MakeTwoGpuMachine();

constexpr uint32_t kDolvikBar = 0xC0000000;
constexpr uint32_t kIsoBar = 0xC2000000;
