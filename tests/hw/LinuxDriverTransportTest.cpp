// The Linux transport's mapping logic, against a regular file standing in for
// /dev/mem; no test touches the machine's own memory or ports.

#include "platform/linux/LinuxDriverTransport.h"
#include "hw/IRomviseDriver.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using testkit::ErrorOf;

namespace
{
class LinuxDriverTransportTest : public ::testing::Test
{
protected:
    LinuxDriverTransportTest()
    {
        std::vector<char> bytes(3 * 4096);
        for (size_t i = 0; i < bytes.size(); ++i)
        {
            bytes[i] = static_cast<char>(i * 7);
        }
        std::ofstream(path, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // The /dev/mem path: a sysfs without a PCI bus.
    CRefPtr<IRomviseDriver> Open(const std::string& device)
    {
        return CreateRomviseDriver(CRefPtr<IDriverTransport>(new CLinuxDriverTransport(
            LinuxDriverTransportOptions{device, false, (folder / "sys").string(), 0})));
    }

    uint8_t FileByte(size_t offset)
    {
        std::ifstream file(path, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        return static_cast<uint8_t>(file.get());
    }

    const testkit::CScratchDirectory folder{"romvise-mem"};
    const std::string path = (folder / "mem").string();
};

TEST_F(LinuxDriverTransportTest, MapsUnalignedRangesAcrossPages)
{
    CRefPtr<IRomviseDriver> driver = Open(path);
    const uint64_t linear = driver->MapPhysicalToLinear(0x0FFE, 4);
    EXPECT_EQ(driver->ReadMemory8(linear), static_cast<uint8_t>(0x0FFE * 7));
    EXPECT_EQ(driver->ReadMemory16(linear + 1),
              static_cast<uint16_t>(static_cast<uint8_t>(0x0FFF * 7) |
                                    static_cast<uint8_t>(0x1000 * 7) << 8));
    driver->WriteMemory8(linear + 3, 0xA5);
    EXPECT_EQ(FileByte(0x1001), 0xA5) << "writes go through to the memory device";

    const uint64_t second = driver->MapPhysicalToLinear(0x2000, 0x1000);
    driver->WriteMemory32(second + 0xFFC, 0x11223344);
    EXPECT_EQ(FileByte(0x2FFF), 0x11);
    driver->UnmapPhysicalToLinear(second, 0x1000);
    driver->UnmapPhysicalToLinear(linear, 4);
    EXPECT_THROW(driver->ReadMemory8(linear), std::runtime_error);
}

TEST_F(LinuxDriverTransportTest, FailuresNameTheStep)
{
    const std::string missing = path + ".missing";
    EXPECT_EQ(ErrorOf([&] { Open(missing); }),
              "Unable to start service (0x00000013)\nDetailed :No such device (no PCI bus in "
              "sysfs: " +
                  (folder / "sys/bus/pci/devices").string() + " is missing, and " + missing +
                  " cannot be opened (No such file or directory))");

    CRefPtr<IRomviseDriver> driver = Open(path);
    EXPECT_EQ(ErrorOf([&] { driver->ReadPortULONG(0xCFC); }),
              "Error reading I/O port (0x00000001)\nDetailed :Operation not permitted");
}

TEST_F(LinuxDriverTransportTest, AFailedStepNamesOnlyItsOwnError)
{
    // /dev/null opens but cannot be mapped: the map failure names its step,
    // and the port failure after it names none.
    CRefPtr<IRomviseDriver> driver = Open("/dev/null");
    EXPECT_EQ(ErrorOf([&] { driver->MapPhysicalToLinear(0x1000, 0x10); }),
              "Error attempting to map adapter (0x00000013)\nDetailed :No such device (mapping "
              "/dev/null)");
    EXPECT_EQ(ErrorOf([&] { driver->ReadPortULONG(0xCFC); }),
              "Error reading I/O port (0x00000001)\nDetailed :Operation not permitted");
}
TEST_F(LinuxDriverTransportTest, BarSizesComeFromTheResourceFileInSysfs)
{
    // The BAR registers are never written to size them: the sizes are the
    // kernel's, from each function's `resource` file.
    const testkit::CScratchDirectory sys{"romvise-sys"};
    sys.WriteText("bus/pci/devices/0000:01:00.0/resource",
                  "0x00000000f0000000 0x00000000f001ffff 0x0000000000040200\n"
                  "0x0000002000000000 0x00000020ffffffff 0x000000000014220c\n"
                  "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                  "0x000000000000e000 0x000000000000e07f 0x0000000000040101\n"
                  "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                  "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                  "0x00000000f0080000 0x00000000f00fffff 0x0000000000046200\n");
    CRefPtr<IRomviseDriver> driver =
        CreateRomviseDriver(CRefPtr<IDriverTransport>(new CLinuxDriverTransport(
            LinuxDriverTransportOptions{path, false, sys.Path().string(), 0})));
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 0), 0x20000u);
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 1), 0x100000000u);
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 2), 0u) << "the upper half of BAR1";
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 3), 0x80u);
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 5), 0u);
    EXPECT_EQ(driver->QueryBarSize(0, 1, 0, 0, 6), 0u) << "the ROM is no BAR";
    EXPECT_EQ(driver->QueryBarSize(0, 2, 0, 0, 0), 0u) << "no such function";
}
} // namespace
