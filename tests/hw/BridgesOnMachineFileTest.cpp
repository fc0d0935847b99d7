// Both bridge devices on a machine declared in a machine file: each reads its
// own EEPROM's contents through its ROM window (the ZX22 through a GPU's
// BAR0, the PLX switch through its controller in a borrowed BAR0).

#include "core/Log.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "hw/device/DeviceBridgeZX22Impl.h"
#include "sim/MachineFile.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + i / 256);
    }
    return bytes;
}

class BridgesOnMachineFileTest : public ::testing::Test
{
protected:
    void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        directory.WriteBytes(name, bytes);
    }

    std::string WriteMachine()
    {
        nlohmann::json machine = nlohmann::json::parse(R"({
          "acpi": {"mcfg": [{"base": "0xE0000000", "end_bus": 15}]},
          "pci": [
            {"address": "00:01.0", "vendor": "0x7E2B", "device": 0, "class": "0x060400",
             "revision": "0xA0", "bridge": {"secondary": 1, "subordinate": 2}},
            {"address": "01:00.0", "vendor": "0x1B36", "device": "0x000C", "class": "0x060400",
             "bridge": {"secondary": 2, "subordinate": 2}},
            {"address": "02:00.0", "vendor": "0x7E2B", "device": "0x2204", "class": "0x030000",
             "bars": [{"index": 0, "size": "0x1000000", "address": "0xF1000000"}],
             "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6}},
            {"address": "00:02.0", "vendor": "0x10B5", "device": "0x8747", "class": "0x060400",
             "revision": "0xCA", "command": "0x6", "bridge": {"secondary": 3, "subordinate": 3},
             "bars": [{"index": 0, "size": "0x20000"}],
             "config": [{"offset": "0x20", "value": "0x2FF02000"}],
             "model": {"kind": "plx8747", "name": "plx", "busy_polls": 4,
                       "eeprom": {"size": "0x1000", "image": "plx.bin"}}}
          ],
          "devices": [
            {"kind": "zx22", "name": "zx22", "function": "00:01.0", "gpu": "gpu0", "window": 6,
             "eeprom": {"kind": "plain", "size": "0x1000", "image": "zx22.bin"}}
          ]
        })");
        machine["pci"][0]["device"] = GetZX22DeviceIdBase() + 3;
        return directory.WriteText("machine.json", machine.dump(2));
    }

    const testkit::CScratchDirectory directory{"romvise-bridges"};
};

TEST_F(BridgesOnMachineFileTest, EachBridgeReadsItsEepromThroughItsROMWindow)
{
    const std::vector<uint8_t> zx22Image = Pattern(0x1000, 0x31);
    const std::vector<uint8_t> plxImage = Pattern(0x1000, 0x77);
    WriteFile("zx22.bin", zx22Image);
    WriteFile("plx.bin", plxImage);
    CSimHardwareScope scope(LoadMachineFile(WriteMachine()));
    const auto open = [](uint8_t bus, uint8_t device)
    { return CreatePCIDeviceAccessor(GetRomviseDriver(), 0, bus, device, 0, -1, 0, 0); };
    const std::vector<CRefPtr<IPCIDeviceAccessor>> candidates = {open(0, 1), open(0, 2), open(1, 0),
                                                                 open(2, 0)};
    CLog log;

    CRefPtr<IDevice> zx22 = IDevice::Create(open(0, 1), kDeviceKindZX22);
    zx22->ScanForChildren(candidates, log);
    ASSERT_TRUE(zx22->IsBar0Assigned());
    CRefPtr<IDevice> plx = IDevice::Create(open(0, 2), kDeviceKindPLX8747);
    plx->MapRegisters();

    struct Case
    {
        const char* name;
        CRefPtr<IDevice> device;
        const std::vector<uint8_t>& image;
    };
    for (const Case& c : {Case{"zx22", zx22, zx22Image}, Case{"plx", plx, plxImage}})
    {
        c.device->EnableROMAccess();
        std::vector<uint8_t> read(c.image.size());
        for (size_t i = 0; i < read.size(); ++i)
        {
            read[i] = c.device->ReadROMWindowByte(static_cast<uint32_t>(i));
        }
        c.device->RestoreROMAccess();
        EXPECT_EQ(read, c.image) << c.name;
        EXPECT_EQ(c.device->ReadROMDword(0x10), static_cast<uint32_t>(c.image[0x10]) |
                                                    c.image[0x11] << 8 | c.image[0x12] << 16 |
                                                    static_cast<uint32_t>(c.image[0x13]) << 24)
            << c.name;
    }
    plx->UnmapRegisters();
    EXPECT_EQ(scope.Machine().FindFunction(0, 2, 0)->Stored(0x20, 4), 0x2FF02000u);
}
} // namespace
