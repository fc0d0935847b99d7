#include "testkit/machine/AdapterMachine.h"

#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/SimMcu.h"
#include "sim/SimZX22Bridge.h"
#include "testkit/machine/SimHardware.h"

#include <cstdio>
#include <stdexcept>

namespace
{
constexpr uint32_t kBridgeClass = 0x060400;

std::string AddressText(PciLocation at)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%x", at.bus, at.device, at.function);
    return text;
}

CSimPciFunction& AddBridge(CSimMachine& machine, PciLocation at, uint16_t vendorId,
                           uint16_t deviceId, uint8_t secondary, uint8_t subordinate)
{
    CSimPciFunction& function = machine.AddFunction(at.bus, at.device, at.function);
    function.SetIds(vendorId, deviceId, kBridgeClass, 0x01);
    function.MakeBridge(at.bus, secondary, subordinate);
    return function;
}

// The port number the bus scan reads: bits 20-23 of a vendor register.
void StorePortNumber(CSimPciFunction& function, uint32_t offset, uint8_t portNumber)
{
    function.Store(offset, 4, static_cast<uint32_t>(portNumber & 0xF) << 20);
}

void PutText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
    {
        bytes[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
    }
}

void PutLittle(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, size_t length)
{
    for (size_t i = 0; i < length; ++i)
    {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

CSimGpu& AddSimGpu(CSimMachine& machine, PciLocation at, uint16_t deviceId, uint32_t deviceKind,
                   uint32_t barAddress, uint16_t subsystemVendorId, uint16_t subsystemDeviceId,
                   uint32_t classCode, uint32_t straps)
{
    CSimPciFunction& function = machine.AddFunction(at.bus, at.device, at.function);
    function.SetIds(kKorvanVendorId, deviceId, classCode, 0xA1);
    function.SetSubsystem(subsystemVendorId, subsystemDeviceId);
    function.SetBar(0, SimBar{CSimGpu::kBarSize, ESimBarKind::Memory32, false, barAddress});
    SimGpuConfig config = SimGpuConfigForKind(deviceKind);
    config.straps = straps;
    auto gpu = std::make_shared<CSimGpu>("gpu " + AddressText(at), function, config);
    machine.AddDevice(gpu);
    return *gpu;
}

CSimPciFunction& AddSimRootPort(CSimMachine& machine, PciLocation at, uint8_t secondary,
                                uint8_t subordinate)
{
    return AddBridge(machine, at, 0x8086, 0x7A38, secondary, subordinate);
}

CSimPciFunction& AddSimZX22Bridge(CSimMachine& machine, PciLocation at, uint8_t secondary,
                                  uint8_t subordinate, uint8_t portNumber)
{
    CSimPciFunction& function =
        AddBridge(machine, at, kKorvanVendorId, GetZX22DeviceIdBase(), secondary, subordinate);
    StorePortNumber(function, 0x60, portNumber);
    return function;
}

CSimPciFunction& AddSimPlxPort(CSimMachine& machine, PciLocation at, uint8_t secondary,
                               uint8_t subordinate, uint8_t portNumber, uint32_t barAddress)
{
    CSimPciFunction& function =
        AddBridge(machine, at, kPlxVendorId, 0x8747, secondary, subordinate);
    StorePortNumber(function, 0x68, portNumber);
    function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, barAddress});
    return function;
}

void AddSimSpiChip(CSimMachine& machine, CSimGpu& gpu, const SimFlashPart& part,
                   const std::string& name, std::span<const uint8_t> firmware)
{
    auto contents = std::make_shared<CSimChipStore>(part.sizeBytes);
    if (!firmware.empty())
    {
        contents->Write(0, firmware);
    }
    gpu.AttachChip(std::make_shared<CSimSpiFlash>(name, part, ESimSpiFlavour::Standard, contents,
                                                  &machine.Clock(), &machine.Counters()));
}

CSimMcuSlave& AddSimMcu(CSimGpu& gpu, const std::vector<uint8_t>& application, SimMcuConfig config)
{
    auto mcu = std::make_shared<CSimMcuSlave>("mcu", 0x98, config);
    if (!application.empty())
    {
        mcu->InstallApplication(application);
    }
    mcu->SetMode(mcu->IsApplicationValid() ? 1 : 0);
    gpu.Port(1).AddSlave(mcu);
    return *mcu;
}

std::vector<uint8_t> MakeMcuFirmware(uint16_t vendorId, uint16_t deviceId, uint32_t imageSize,
                                     const std::string& project, const std::string& sku,
                                     const std::string& branch, const std::string& version)
{
    std::vector<uint8_t> file(64, 0);
    file.reserve(64 + size_t{imageSize});
    for (uint32_t i = 0; i < imageSize; ++i)
    {
        file.push_back(static_cast<uint8_t>((i * 13 + 5) ^ (i >> 8)));
    }
    PutText(file, 0, "GMAC", 4);
    PutLittle(file, 4, 0x0200, 2);
    file[6] = 64;
    PutText(file, 8, project, 4);
    PutText(file, 12, sku, 4);
    PutText(file, 16, branch, 2);
    PutText(file, 18, version, 2);
    PutLittle(file, 20, vendorId, 2);
    PutLittle(file, 22, deviceId, 2);
    PutLittle(file, 24, 0x0440, 2);
    PutLittle(file, 26, 0x0100, 2);
    PutLittle(file, 28, imageSize, 4);
    PutLittle(file, 32, CSimMcuSlave::Crc32(file.data() + 64, imageSize), 4);
    uint8_t sum = 0;
    for (size_t i = 0; i < 63; ++i)
    {
        sum = static_cast<uint8_t>(sum + file[i]);
    }
    file[63] = static_cast<uint8_t>(0x100 - sum);
    return file;
}

TwoGpuMachine MakeTwoGpuMachine()
{
    TwoGpuMachine made;
    made.machine = MakeMachineWithMcfg();
    CSimMachine& machine = *made.machine;
    AddSimRootPort(machine, {0, 1, 0}, 1, 1);
    made.dolvik = &AddSimGpu(machine, {1, 0, 0}, 0x0C00, 12, kDolvikBar, 0x7E2B, 0x0C10);
    CSimPciFunction& zx22 = AddSimZX22Bridge(machine, {0, 2, 0}, 2, 3, 0);
    AddSimRootPort(machine, {2, 0, 0}, 3, 3);
    made.iso = &AddSimGpu(machine, {3, 0, 0}, 0x0610, 6, kIsoBar, 0x7E2B, 0x0611);
    machine.AddDevice(std::make_shared<CSimZX22Bridge>("zx22", zx22, *made.iso, SimZX22Config{}));
    made.mcu = &AddSimMcu(*made.dolvik, MakeMcuFirmware(0x7E2B, 0x0C00, 3000));
    return made;
}
