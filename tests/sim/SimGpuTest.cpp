// Simulated GPUs: a machine file declares one per generation with its EEPROM
// contents and I2C slaves, and each device class reads the contents through
// its ROM window and talks to the slave; the EEPROM chip interface behind the
// control register; slaves sharing a bus; machine-file errors.

#include "sim/SimGpu.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/IDevice.h"
#include "hw/device/ROMAccessScope.h"
#include "sim/MachineFile.h"
#include "sim/SimI2CSlaves.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/SimGpuRig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using testkit::ErrorOf;

namespace
{
using nlohmann::json;

// The IDs of the catalogue's first adapter of the kind; kinds the catalogue
// has no row for get an ID of the maker's.
std::pair<uint16_t, uint16_t> IdsOfKind(uint32_t kind)
{
    for (const AdapterCatalogueRecord& record : GetAdapterCatalogueRecords())
    {
        if (record.deviceKind == kind)
        {
            return {record.vendorId, record.deviceId};
        }
    }
    return {kKorvanVendorId, static_cast<uint16_t>(0x0F00 + kind)};
}

json GpuMachine(uint32_t kind, const json& model)
{
    const auto [vendorId, deviceId] = IdsOfKind(kind);
    return json{{"acpi", {{"revision", 2}, {"mcfg", json::array({{{"base", "0xE0000000"}}})}}},
                {"pci", json::array({{{"address", "00:01.0"},
                                      {"vendor", "0x8086"},
                                      {"device", "0x0001"},
                                      {"class", "0x060400"},
                                      {"bridge", {{"secondary", 1}, {"subordinate", 1}}}},
                                     {{"address", "01:00.0"},
                                      {"vendor", vendorId},
                                      {"device", deviceId},
                                      {"class", "0x030000"},
                                      {"command", "0x6"},
                                      {"bars", json::array({{{"index", 0},
                                                             {"size", "0x1000000"},
                                                             {"address", "0xF0000000"}}})},
                                      {"model", model}}})}};
}

class SimGpuMachineFileTest : public ::testing::Test
{
protected:
    SimGpuMachineFileTest()
    {
        image.resize(0x8000);
        for (size_t i = 0; i < image.size(); ++i)
        {
            image[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        directory.WriteBytes("firmware.rom", image);
    }

    json Model(uint32_t kind) const
    {
        return json{
            {"kind", "gpu"},
            {"device_kind", kind},
            {"eeprom", {{"kind", "plain"}, {"size", "0x20000"}, {"image", "firmware.rom"}}},
            {"i2c", json::array({{{"port", 1},
                                  {"slaves", json::array({{{"kind", "display"},
                                                           {"bytes", {0x00, 0xFF, 0x7E}}}})}}})}};
    }

    const testkit::CScratchDirectory directory{"romvise-simgpu"};
    std::vector<uint8_t> image;
};

TEST_F(SimGpuMachineFileTest, EveryGenerationReadsItsFirmwareAndTalksToItsDisplay)
{
    for (uint32_t kind = 5; kind <= 13; ++kind)
    {
        SCOPED_TRACE(kind);
        CSimHardwareScope scope(LoadMachineJson(GpuMachine(kind, Model(kind)), directory));
        CRefPtr<IDevice> device =
            IDevice::Create(CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0),
                            static_cast<int32_t>(kind));
        {
            CROMAccessScope access(*device);
            for (const uint32_t offset : {0u, 1u, 0x1234u, 0x7FFFu})
            {
                EXPECT_EQ(device->ReadROMWindowByte(offset), image[offset]) << offset;
                EXPECT_EQ(device->ReadROMByte(static_cast<int32_t>(offset)), image[offset]);
            }
            EXPECT_EQ(device->ReadROMWindowByte(0x8000), 0xFF);
        }
        std::vector<uint8_t> out;
        if (kind == kDeviceKindLegacyGpu)
        {
            // No line access: the address is never acknowledged.
            EXPECT_EQ(device->I2CReadRegister(1, 0xA0, 0, out, 3, false), 4);
            continue;
        }
        ASSERT_TRUE(device->AcquireI2CPort(1));
        device->BeginI2CPortAccess(1);
        EXPECT_EQ(device->I2CReadRegister(1, 0xA0, 0, out, 3, false), 0);
        EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0xFF, 0x7E}));
        device->EndI2CPortAccess(1);
        EXPECT_TRUE(device->ReleaseI2CPort(1));
        EXPECT_TRUE(device->IsI2CActive());
    }
}

TEST_F(SimGpuMachineFileTest, ModelSectionsAreReadInFull)
{
    json model = Model(kDeviceKindCendra2);
    model["name"] = "board-gpu";
    model["architecture"] = "0x0A";
    model["implementation"] = 6;
    model["straps"] = "0x00C00000";
    model["registers"] = {{"0xE4E8", "0x10000000"}, {"0x100A44", "0x10000000"}};
    model["speedometers"] = {"0x1200", "0x1300"};
    model["i2c"].push_back(
        {{"port", 3},
         {"hold_clock_low", true},
         {"slaves", json::array({{{"kind", "regulator"}, {"registers", {{"0x8C", 14}}}}})}});
    std::shared_ptr<CSimMachine> machine =
        LoadMachineJson(GpuMachine(kDeviceKindCendra2, model), directory);
    auto* gpu = dynamic_cast<CSimGpu*>(machine->FindDevice("board-gpu"));
    ASSERT_NE(gpu, nullptr);
    EXPECT_EQ(gpu->Config().architecture, 0x0Au);
    EXPECT_EQ(gpu->Config().implementation, 6u);
    EXPECT_EQ(gpu->Register(0xE4E8), 0x10000000u);
    // Speedometer 1 is enabled, 0 is not.
    gpu->SetRegister(0x1228, 0x40001);
    EXPECT_EQ(gpu->ReadBar(gpu->Function(), 0, 0x121C, 4), 0x1300u);
    gpu->SetRegister(0x1228, 0x40000);
    EXPECT_EQ(gpu->ReadBar(gpu->Function(), 0, 0x121C, 4), 0u);
    EXPECT_FALSE(gpu->Port(3).Scl());
    ASSERT_NE(gpu->Port(3).FindSlave("regulator"), nullptr);

    CSimHardwareScope scope(machine);
    CRefPtr<IDevice> device = IDevice::Create(
        CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0), kDeviceKindCendra2);
    EXPECT_EQ(device->GetROMType(true), 4u);
    EXPECT_EQ(device->GetI2CPorts().size(), 6u);
}

TEST_F(SimGpuMachineFileTest, TheEepromFileKeepsWhatWasWritten)
{
    json model = Model(kDeviceKindIso);
    model["eeprom"] = {{"kind", "plain"}, {"size", "0x100"}, {"file", "board.bin"}, {"fill", 0}};
    {
        std::shared_ptr<CSimMachine> machine =
            LoadMachineJson(GpuMachine(kDeviceKindIso, model), directory);
        auto* gpu = dynamic_cast<CSimGpu*>(machine->FindDevice("gpu"));
        ASSERT_NE(gpu, nullptr);
        const uint8_t byte = 0x5A;
        gpu->Chip()->Contents().Write(0x10, {&byte, 1});
    }
    std::shared_ptr<CSimMachine> again =
        LoadMachineJson(GpuMachine(kDeviceKindIso, model), directory);
    auto* gpu = dynamic_cast<CSimGpu*>(again->FindDevice("gpu"));
    EXPECT_EQ(gpu->Chip()->Contents().At(0x10), 0x5A);
    EXPECT_EQ(gpu->Chip()->Contents().At(0x11), 0x00);
}

TEST_F(SimGpuMachineFileTest, BadSectionsAreRefusedWithTheirReason)
{
    struct Case
    {
        const char* what;
        std::function<void(json&)> change;
        const char* error;
    };
    const Case cases[] = {
        {"kind", [](json& m) { m["device_kind"] = 4; }, "\"device_kind\" must be 5-13"},
        {"port", [](json& m) { m["i2c"][0]["port"] = 10; }, "\"port\" must be 0-9"},
        {"slave", [](json& m) { m["i2c"][0]["slaves"][0]["kind"] = "thermal"; },
         "unknown I2C slave kind \"thermal\""},
        {"chip", [](json& m) { m["eeprom"]["kind"] = "nor"; }, "unknown EEPROM kind \"nor\""},
        {"image size", [](json& m) { m["eeprom"]["size"] = "0x100"; }, "is larger than the EEPROM"},
        {"image file", [](json& m) { m["eeprom"]["image"] = "missing.rom"; },
         "cannot open \"image\""},
        {"byte", [](json& m) { m["i2c"][0]["slaves"][0]["bytes"] = {256}; },
         "\"bytes\" is out of range"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        json model = Model(kDeviceKindIso);
        c.change(model);
        const std::string error =
            ErrorOf([&] { LoadMachineJson(GpuMachine(kDeviceKindIso, model), directory); });
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    json outside{{"devices", json::array({Model(kDeviceKindIso)})}};
    EXPECT_EQ(ErrorOf([&] { LoadMachineJson(outside, directory); }),
              "a \"gpu\" model belongs inside a PCI function");
}

// The chip interface: what the GPU passes on of its EEPROM control register.
class CRecordingGpuChip : public ISimEepromChip
{
public:
    struct Lines
    {
        bool selected, clock, data;
        bool operator==(const Lines&) const = default;
    };
    std::string Name() const override { return "recording"; }
    void SetLines(bool selected, bool clock, bool data) override
    {
        lines.push_back({selected, clock, data});
    }
    bool DataOut() const override { return dataOut; }
    void Release() override { ++releases; }
    CSimChipStore& Contents() override { return contents; }
    void WriteWindowByte(uint32_t offset, uint8_t value) override
    {
        windowWrites.emplace_back(offset, value);
    }

    std::vector<Lines> lines;
    bool dataOut = false;
    int releases = 0;
    CSimChipStore contents{0x1000};
    std::vector<std::pair<uint32_t, uint8_t>> windowWrites;
};

TEST(SimGpuChip, TheControlRegisterDrivesTheChipOnlyWhileTheDebugPortIsOff)
{
    for (const uint32_t kind : {5u, 6u, 12u})
    {
        SCOPED_TRACE(kind);
        CSimGpuRig rig(SimGpuConfigForKind(kind), 0x1000);
        auto chip = std::make_shared<CRecordingGpuChip>();
        rig.gpu->AttachChip(chip);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(kind));
        device->WriteROMControl(0x5);
        EXPECT_TRUE(chip->lines.empty());
        {
            CROMAccessScope access(*device);
            device->WriteROMControl(0x1 | 0x8);
            device->WriteROMControl(0x1 | 0x4 | 0x8);
            EXPECT_EQ(device->ReadROMControl() & 0x10, 0u);
            chip->dataOut = true;
            EXPECT_EQ(device->ReadROMControl() & 0x10, 0x10u);
            device->WriteROMControl(0x1 | 0x2);
            device->WriteROMControl(0x2);
            device->WriteROMByte(0x20, 0xC5);
        }
        EXPECT_EQ(chip->lines,
                  (std::vector<CRecordingGpuChip::Lines>{
                      {true, false, true}, {true, true, true}, {false, false, false}}));
        EXPECT_EQ(chip->releases, 1);
        EXPECT_EQ(chip->windowWrites, (std::vector<std::pair<uint32_t, uint8_t>>{{0x20, 0xC5}}));
    }
}

TEST(SimI2CBus, SlavesAnswerOnlyTheirAddressAndAnyoneCanHoldALineLow)
{
    CSimI2CBus bus("test");
    auto first = std::make_shared<CSimDisplaySlave>("first", 0xA0);
    auto second = std::make_shared<CSimDisplaySlave>("second", 0xA2);
    first->Bytes()[0] = 0x11;
    second->Bytes()[0] = 0x22;
    bus.AddSlave(first);
    bus.AddSlave(second);
    EXPECT_EQ(bus.FindSlave("second"), second.get());

    CSimGpuRig rig(SimGpuConfigForKind(kDeviceKindIso), 0x1000);
    CSimI2CBus& port = rig.gpu->Port(4);
    port.AddSlave(first);
    port.AddSlave(second);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindIso);
    device->BeginI2CPortAccess(4);
    uint8_t byte = 0;
    EXPECT_EQ(device->SMBusReceiveByte(4, 0xA2, byte), 0);
    EXPECT_EQ(byte, 0x22);
    EXPECT_EQ(device->SMBusReceiveByte(4, 0xA0, byte), 0);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(device->SMBusReceiveByte(4, 0xA4, byte), 4);
    EXPECT_EQ(port.TraceText(), "S A3+ 22- P S A1+ 11- P S A5-");

    // Open drain: the line is low while anyone drives it low (with the clock
    // low, so that no start is made).
    port.DriveMaster(true, false);
    port.DriveSdaLow(*first, true);
    EXPECT_FALSE(port.Sda());
    port.DriveSdaLow(*first, false);
    EXPECT_TRUE(port.Sda());
    port.HoldClockLow(true);
    port.DriveMaster(true, true);
    EXPECT_FALSE(port.Scl());
    EXPECT_TRUE(port.Sda());
    port.HoldClockLow(false);
    EXPECT_TRUE(port.Scl());
}
// Records what the byte decoder hands a slave.
class CCountingSlave : public CSimI2CByteSlave
{
public:
    CCountingSlave() : CSimI2CByteSlave("counting", 0x98) {}
    std::vector<std::string> events;

protected:
    bool OnAddress(bool read) override
    {
        events.push_back(read ? "read" : "write");
        return true;
    }
    bool OnWrite(uint8_t byte) override
    {
        events.push_back("byte " + std::to_string(byte));
        return true;
    }
    uint8_t OnRead() override
    {
        events.push_back("next");
        return 0x5A;
    }
    void OnStop() override { events.push_back("stop"); }
};

TEST(SimI2CBus, ASlaveHearsOnlyTransfersAddressedToIt)
{
    CSimGpuRig rig(SimGpuConfigForKind(kDeviceKindIso), 0x1000);
    auto slave = std::make_shared<CCountingSlave>();
    rig.gpu->Port(0).AddSlave(slave);
    rig.gpu->Port(0).AddSlave(std::make_shared<CSimDisplaySlave>());
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindIso);
    device->BeginI2CPortAccess(0);
    EXPECT_EQ(device->SMBusWriteData(0, 0xA0, 0x01, 0x02, false), 0);
    EXPECT_TRUE(slave->events.empty());
    uint16_t data = 0;
    EXPECT_EQ(device->SMBusReadData(0, 0x98, 0x07, data, false), 0);
    EXPECT_EQ(data, 0x5A);
    EXPECT_EQ(slave->events,
              (std::vector<std::string>{"write", "byte 7", "stop", "read", "next", "stop"}));
}
} // namespace
