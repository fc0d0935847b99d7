// A machine file with a Kestrix-equipped adapter: built-in microcode loads,
// ECID and EID answer, and what EWR writes reads back through ERD and is what
// the chip's file on disk holds.

#include "KestrixRig.h"

#include "sim/MachineFile.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace
{
const char* const kMachine = R"({
  "acpi": {"mcfg": [{"base": "0xE0000000", "start_bus": 0, "end_bus": 255}]},
  "pci": [
    {"address": "00:01.0", "vendor": "0x8086", "device": "0x7A38", "class": "0x060400",
     "bridge": {"secondary": 1, "subordinate": 1}},
    {"address": "01:00.0", "vendor": "0x7E2B", "device": "0x0C00", "class": "0x030000",
     "revision": "0xA1", "subsystem": {"vendor": "0x7E2B", "device": "0x0C10"},
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xC0000000"}],
     "model": {"kind": "gpu", "name": "dolvik1", "device_kind": 12,
               "eeprom": {"kind": "spi_flash", "part": "C2/2013", "file": "flash.bin"}}}
  ],
  "devices": [{"kind": "kestrix", "gpu": "dolvik1", "pending_polls": 3,
               "ecid": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                        17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32]}]
})";

TEST(KestrixMachineFile, LoadsMicrocodeAndWritesTheChipThroughIt)
{
    testkit::CScratchDirectory folder("romvise-kestrix-machine");
    const std::string path = folder.WriteText("machine.json", kMachine);
    std::vector<uint8_t> written(0x1800);
    for (size_t i = 0; i < written.size(); ++i)
    {
        written[i] = static_cast<uint8_t>(i ^ (i >> 8));
    }
    {
        CSimHardwareScope scope(LoadMachineFile(path));
        CLog log;
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, IPCIBus::Create(),
                          CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                          &log);
        ASSERT_EQ(adapters.size(), 1u);
        KestrixLoadRequest request;
        request.adapter = adapters[0];
        request.log = &log;
        CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);

        std::array<uint8_t, 32> ecid{};
        ASSERT_EQ(loader->ReadECID(ecid, 1), 0u);
        EXPECT_EQ(ecid[0], 1);
        EXPECT_EQ(ecid[31], 32);
        ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
        EXPECT_EQ(loader->GetEEPROMId(), 0x201300C2u);

        ASSERT_EQ(loader->EraseSectors(0x8000, 2), 0u);
        ASSERT_EQ(loader->ProgramEEPROM(0x8000, written, 0), 0u);
        std::vector<uint8_t> read(written.size());
        ASSERT_EQ(loader->ReadEEPROM(0x8000, read), 0u);
        EXPECT_EQ(read, written);
    }
    std::ifstream file(folder.Path() / "flash.bin", std::ios::binary);
    const std::vector<uint8_t> chip{std::istreambuf_iterator<char>(file),
                                    std::istreambuf_iterator<char>()};
    ASSERT_EQ(chip.size(), 0x80000u);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), chip.begin() + 0x8000));
}

TEST(KestrixMachineFile, RefusesAKestrixWithoutItsGpu)
{
    const nlohmann::json machine = {{"devices", {{{"kind", "kestrix"}, {"gpu", "nowhere"}}}}};
    try
    {
        LoadMachineJson(machine, ".");
        FAIL() << "loaded";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_NE(std::string(error.what())
                      .find("\"gpu\" \"nowhere\" names no GPU model declared before"),
                  std::string::npos)
            << error.what();
    }
}
} // namespace
