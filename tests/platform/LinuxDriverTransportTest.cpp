// The Linux driver transport. Its mapping logic runs against a regular file
// standing in for /dev/mem; no test touches the machine's own memory or ports.
// Over sysfs it runs on a temporary tree standing in for /sys: a GPU behind a
// bridge, an absent slot, config files of 256 and 4096 bytes, `resource`
// files and `resourceN` files that mmap maps. The program's own layers
// (driver, ACPI tables, PCI accessor, bus scan) run on top as on a machine
// without /dev/mem. Last, a read-only look at this machine's own bus.

#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "platform/linux/LinuxDriverTransport.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/Sysfs.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "tests/platform/SysfsTree.h"
#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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

namespace fs = std::filesystem;

namespace
{
constexpr const char* kBridge = "0000:00:01.0";
constexpr const char* kGpuAddress = "0000:01:00.0";
constexpr uint16_t kGpuDeviceId = 0x0610; // a catalogued ISO part
constexpr uint64_t kBar0 = 0xF0000000;
constexpr uint64_t kBar0Size = 0x1000000;
constexpr uint64_t kBar1 = 0xF1000000; // right after BAR0
constexpr uint64_t kBar1Size = 0x20000;
constexpr uint64_t kEcamBase = 0xE0000000;

void Put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; ++i)
    {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<uint8_t> FileBytes(const fs::path& file, size_t at, size_t count)
{
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    std::vector<uint8_t> bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    return bytes;
}

std::string ResourceLine(uint64_t start, uint64_t size, uint64_t flags)
{
    return "0x" + ToHex(static_cast<uint32_t>(start >> 32), 8) +
           ToHex(static_cast<uint32_t>(start), 8) + " 0x" +
           ToHex(static_cast<uint32_t>((start + size - 1) >> 32), 8) +
           ToHex(static_cast<uint32_t>(start + size - 1), 8) + " 0x" +
           ToHex(static_cast<uint32_t>(flags), 16) + "\n";
}

const std::string kEmptyResource = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";

class SysfsTransportTest : public ::testing::Test
{
protected:
    SysfsTransportTest()
    {
        // A root port of another maker leading to bus 1: a 256-byte config file.
        tree.AddPciFunction(kBridge, 0x8086, 0x7A38, 0x060400, "pcieport");
        std::vector<uint8_t> bridge(256, 0);
        Put(bridge, 0x00, 0x7A388086, 4);
        Put(bridge, 0x08, 0x06040001, 4);
        Put(bridge, 0x0C, 0x00010000, 4); // header type 1
        Put(bridge, 0x18, 0x00010100, 4); // buses 0 -> 1..1
        WriteConfig(kBridge, bridge);
        std::string resources;
        for (int i = 0; i < 13; ++i)
        {
            resources += kEmptyResource;
        }
        tree.Write(Dir(kBridge) / "resource", resources);

        // The GPU: a 4096-byte config file, BAR0 16 MiB and BAR1 128 KiB back
        // to back, each with its resourceN file.
        tree.AddPciFunction(kGpuAddress, kKorvanVendorId, kGpuDeviceId, 0x030000, "korvan");
        std::vector<uint8_t> gpu(4096, 0);
        Put(gpu, 0x00, uint32_t{kGpuDeviceId} << 16 | kKorvanVendorId, 4);
        Put(gpu, 0x04, 0x00100000, 4);
        Put(gpu, 0x08, 0x030000A1, 4);
        Put(gpu, 0x10, kBar0, 4);
        Put(gpu, 0x14, kBar1, 4);
        Put(gpu, 0x2C, 0x00017E2B, 4);
        Put(gpu, 0x100, 0x1234ABCD, 4); // extended space
        WriteConfig(kGpuAddress, gpu);
        tree.Write(Dir(kGpuAddress) / "resource", ResourceLine(kBar0, kBar0Size, 0x40200) +
                                               ResourceLine(kBar1, kBar1Size, 0x40200) +
                                               kEmptyResource + kEmptyResource + kEmptyResource +
                                               kEmptyResource + kEmptyResource);
        MakeResourceFile(kGpuAddress, 0, kBar0Size);
        MakeResourceFile(kGpuAddress, 1, kBar1Size);

        // MCFG: segment 0, buses 0-1.
        std::vector<uint8_t> mcfg(60, 0);
        std::copy_n("MCFG", 4, mcfg.begin());
        Put(mcfg, 4, mcfg.size(), 4);
        Put(mcfg, 44, kEcamBase, 8);
        Put(mcfg, 54, 0x0100, 2); // start bus 0, end bus 1
        std::uint8_t sum = 0;
        for (uint8_t byte : mcfg)
        {
            sum = static_cast<uint8_t>(sum + byte);
        }
        mcfg[9] = static_cast<uint8_t>(-sum);
        fs::create_directories(Tables());
        std::ofstream(Tables() / "MCFG", std::ios::binary)
            .write(reinterpret_cast<const char*>(mcfg.data()),
                   static_cast<std::streamsize>(mcfg.size()));
    }

    ~SysfsTransportTest() override
    {
        ReleaseSingletons();
        InstallDriverTransport(nullptr);
        SetAcpiTableDirectory("");
    }

    fs::path Dir(const std::string& function) const
    {
        return tree.PciRoot() / "devices" / function;
    }
    fs::path Tables() const { return tree.Root() / "firmware" / "acpi" / "tables"; }

    void WriteConfig(const std::string& function, const std::vector<uint8_t>& bytes) const
    {
        std::ofstream(Dir(function) / "config", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    void MakeResourceFile(const std::string& function, int bar, uint64_t size) const
    {
        const fs::path file = Dir(function) / ("resource" + std::to_string(bar));
        std::ofstream(file, std::ios::binary).put(0);
        fs::resize_file(file, size);
    }

    LinuxDriverTransportOptions Options(uint32_t user = 0) const
    {
        LinuxDriverTransportOptions options;
        options.memoryDevice = (tree.Root() / "no-mem").string(); // no /dev/mem here
        options.usePorts = false;
        options.sysfsRoot = tree.Root().string();
        options.userId = user;
        return options;
    }

    // The tree made the process's hardware, as the programs' main does.
    void InstallTree()
    {
        ReleaseSingletons();
        InstallDriverTransport(CRefPtr<IDriverTransport>(new CLinuxDriverTransport(Options())));
        SetAcpiTableDirectory(Tables().string());
    }

    CRefPtr<IPCIDeviceAccessor> Open(uint8_t bus, uint8_t device)
    {
        return CreatePCIDeviceAccessor(GetRomviseDriver(), 0, bus, device, 0, -1, 0, 0);
    }

    CSysfsTree tree;
};

TEST_F(SysfsTransportTest, TheBusScanFindsTheAdapterThroughTheConfigFiles)
{
    InstallTree();
    CFakePlatform restoreAfterwards;
    LinuxPlatformOptions platform;
    platform.sysfsRoot = tree.Root();
    restoreAfterwards.Install(MakeLinuxPlatformServices(platform));

    PCIDeviceAccessorList functions;
    IPCIBus::Create()->FindPCIDevices(functions, 0, nullptr, false, nullptr);
    ASSERT_EQ(functions.size(), 2u);
    EXPECT_EQ(functions[1]->GetBus(), 1u);

    CLog log;
    DisplayAdapterList adapters;
    IPCIBus::Create()->FindDevices(adapters, CreateDisplayAdapterDatabase(), false, &log);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0]->GetName(), "Korvan ISO 610");
    EXPECT_EQ(adapters[0]->GetDeviceID(), kGpuDeviceId);
}

TEST_F(SysfsTransportTest, ConfigurationSpaceIsServedFromTheConfigFiles)
{
    InstallTree();
    CRefPtr<IPCIDeviceAccessor> gpu = Open(1, 0);
    CRefPtr<IPCIDeviceAccessor> bridge = Open(0, 1);
    CRefPtr<IPCIDeviceAccessor> absent = Open(1, 1);

    EXPECT_EQ(gpu->ReadConfig32(0x08), 0x030000A1u);
    EXPECT_EQ(gpu->ReadExtConfig32(0x100), 0x1234ABCDu);
    EXPECT_EQ(gpu->ReadExtConfig16(0x102), 0x1234u);
    gpu->WriteConfig32(0x40, 0xCAFEF00D);
    gpu->WriteExtConfig8(0x201, 0x5A);
    EXPECT_EQ(FileBytes(Dir(kGpuAddress) / "config", 0x40, 4),
              (std::vector<uint8_t>{0x0D, 0xF0, 0xFE, 0xCA}));
    EXPECT_EQ(FileBytes(Dir(kGpuAddress) / "config", 0x200, 2), (std::vector<uint8_t>{0, 0x5A}));

    // A conventional function's file ends at 256 bytes: the rest reads as
    // all ones and takes no write.
    EXPECT_EQ(bridge->ReadConfig32(0x18), 0x00010100u);
    EXPECT_EQ(bridge->ReadExtConfig32(0x100), 0xFFFFFFFFu);
    bridge->WriteExtConfig32(0x100, 0);
    EXPECT_EQ(fs::file_size(Dir(kBridge) / "config"), 256u);

    // A slot with no function reads all ones and ignores writes.
    EXPECT_EQ(absent->ReadConfig32(0), 0xFFFFFFFFu);
    EXPECT_EQ(absent->ReadExtConfig8(0x41), 0xFFu);
    absent->WriteConfig32(0x04, 0x6);
    absent->WriteExtConfig32(0x104, 0x6);
    EXPECT_FALSE(fs::exists(Dir("0000:01:01.0")));
}

TEST_F(SysfsTransportTest, RegisterAccessesGoThroughTheMappedBar)
{
    InstallTree();
    {
        std::fstream file(Dir(kGpuAddress) / "resource0", std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(0x88000);
        file.write("\x78\x56\x34\x12", 4);
    }
    CRefPtr<IPCIDeviceAccessor> gpu = Open(1, 0);
    EXPECT_EQ(gpu->GetBarSize(0), kBar0Size);
    EXPECT_EQ(gpu->GetBarSize(1), kBar1Size);
    EXPECT_EQ(gpu->Read32(0x88000), 0x12345678u);
    gpu->Write32(0x1234, 0xA5B6C7D8);
    gpu->Write8(0x7FFFFF, 0x42);
    gpu->UnmapRegisters();
    EXPECT_EQ(FileBytes(Dir(kGpuAddress) / "resource0", 0x1234, 4),
              (std::vector<uint8_t>{0xD8, 0xC7, 0xB6, 0xA5}));
    EXPECT_EQ(FileBytes(Dir(kGpuAddress) / "resource0", 0x7FFFFF, 1), std::vector<uint8_t>{0x42});
    // Mapping set memory decoding in the command word, in the config file.
    EXPECT_EQ(FileBytes(Dir(kGpuAddress) / "config", 4, 1)[0] & 0x2, 0x2);
}

TEST_F(SysfsTransportTest, AMappingMustStayInsideOneBar)
{
    CRefPtr<IRomviseDriver> driver =
        CreateRomviseDriver(CRefPtr<IDriverTransport>(new CLinuxDriverTransport(Options())));
    struct Case
    {
        const char* what;
        uint64_t physical;
        uint32_t length;
        std::string error;
    };
    const std::string invalid = "Error attempting to map adapter (0x00000016)\nDetailed :Invalid "
                                "argument (mapping ";
    const Case cases[] = {
        {"across BAR0 and BAR1", kBar1 - 0x1000, 0x2000,
         invalid + "0xF0FFF000-0xF1000FFF: the range leaves BAR0 of 0000:01:00.0)"},
        {"out of BAR1's end", kBar1 + kBar1Size - 0x10, 0x20,
         invalid + "0xF101FFF0-0xF102000F: the range leaves BAR1 of 0000:01:00.0)"},
        {"into BAR0 from below", kBar0 - 0x10, 0x20,
         invalid + "0xEFFFFFF0-0xF000000F: the range leaves BAR0 of 0000:01:00.0)"},
        {"around BAR1", kBar1 - 0x10, kBar1Size + 0x20,
         invalid + "0xF0FFFFF0-0xF102000F: the range leaves BAR0 of 0000:01:00.0)"},
        {"over the whole of BAR0", 0xEF000000, 0x3000000,
         invalid + "0xEF000000-0xF1FFFFFF: the range holds BAR0 of 0000:01:00.0 and more)"},
        {"in no BAR", 0xD0000000, 0x1000,
         "Error attempting to map adapter (0x00000006)\nDetailed :No such device or address "
         "(mapping 0xD0000000-0xD0000FFF: no PCI function decodes it, and " +
             (tree.Root() / "no-mem").string() + " is not open)"},
        {"inside BAR1", kBar1 + 0x1000, 0x1000, "(no error)"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(
            ErrorOf([&]
                    { driver->MapPhysicalToLinear(static_cast<uint32_t>(c.physical), c.length); }),
            c.error)
            << c.what;
    }
}

TEST_F(SysfsTransportTest, AConfigurationPageMappedTwiceStaysUntilBothAreUnmapped)
{
    CRefPtr<IRomviseDriver> driver =
        CreateRomviseDriver(CRefPtr<IDriverTransport>(new CLinuxDriverTransport(Options())));
    const uint32_t gpuPage = kEcamBase + 0x100000; // bus 1, device 0
    const uint64_t first = driver->MapPhysicalToLinear(gpuPage, 0x1000);
    const uint64_t second = driver->MapPhysicalToLinear(gpuPage, 0x1000);
    EXPECT_EQ(driver->ReadMemory32(second + 0x100), 0x1234ABCDu);
    driver->UnmapPhysicalToLinear(first, 0x1000);
    EXPECT_EQ(driver->ReadMemory32(second + 0x100), 0x1234ABCDu);
    EXPECT_EQ(ErrorOf([&] { driver->UnmapPhysicalToLinear(second, 0x1000); }), "(no error)");
    EXPECT_THROW(driver->ReadMemory32(second), std::runtime_error);
}

TEST_F(SysfsTransportTest, LowMemoryWithoutDevMemHoldsNoTablesSoTheDirectoryServes)
{
    InstallTree();
    IAcpiTableAccessor* acpi = GetAcpiTableAccessor();
    ASSERT_TRUE(acpi->IsMcfgPresent());
    uint64_t base = 0;
    uint8_t endBus = 0;
    ASSERT_TRUE(acpi->GetMcfgEntry(0, &base, nullptr, nullptr, &endBus));
    EXPECT_EQ(base, kEcamBase);
    EXPECT_EQ(endBus, 1u);
    std::ostringstream dump;
    acpi->DumpTables(dump);
    EXPECT_EQ(dump.str(), "RSDP: NULL\n");
}

TEST_F(SysfsTransportTest, EachMissingPieceGivesAnErrorTheUserCanActOn)
{
    struct Case
    {
        const char* what;
        std::function<void()> breakTree;
        uint32_t user;
        std::function<void(IRomviseDriver&)> run;
        std::string error;
    };
    const std::string gpuDir = Dir(kGpuAddress).string();
    const Case cases[] = {
        {"not root", [] {}, 1000, nullptr,
         "Unable to start service (0x00000001)\nDetailed :Operation not permitted (reaching PCI "
         "devices needs root: run it with sudo)"},
        {"no resourceN file", [&] { fs::remove(Dir(kGpuAddress) / "resource1"); }, 0,
         [](IRomviseDriver& driver) { driver.MapPhysicalToLinear(kBar1, 0x1000); },
         "Error attempting to map adapter (0x00000002)\nDetailed :No such file or directory "
         "(opening " +
             gpuDir + "/resource1)"},
        {"kernel lockdown refuses the mapping",
         [&]
         {
             // A file mmap cannot map stands in for the kernel's refusal.
             fs::remove(Dir(kGpuAddress) / "resource1");
             ASSERT_EQ(mkfifo((Dir(kGpuAddress) / "resource1").c_str(), 0600), 0);
             tree.Write(tree.Root() / "kernel/security/lockdown",
                        "none [integrity] confidentiality\n");
         },
         0, [](IRomviseDriver& driver) { driver.MapPhysicalToLinear(kBar1, 0x1000); },
         "Error attempting to map adapter (0x00000013)\nDetailed :No such device (mapping " +
             gpuDir + "/resource1; the kernel is locked down (integrity))"},
        // Last: it takes the whole bus away.
        {"no PCI bus in sysfs",
         [&]
         {
             fs::remove_all(tree.Root() / "bus");
             fs::remove_all(tree.Root() / "kernel");
         },
         0, nullptr,
         "Unable to start service (0x00000013)\nDetailed :No such device (no PCI bus in sysfs: " +
             (tree.PciRoot() / "devices").string() + " is missing, and " +
             (tree.Root() / "no-mem").string() + " cannot be opened (No such file or directory))"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        c.breakTree();
        EXPECT_EQ(ErrorOf(
                      [&]
                      {
                          CRefPtr<IRomviseDriver> driver =
                              CreateRomviseDriver(CRefPtr<IDriverTransport>(
                                  new CLinuxDriverTransport(Options(c.user))));
                          if (c.run)
                          {
                              c.run(*driver);
                          }
                      }),
                  c.error);
    }
}

// This machine's own PCI bus, read only: the transport opens without
// /dev/mem, and the scan lists what sysfs lists. Nothing is written: reads
// never open a config file for writing, and the configuration address is a
// latch of the transport's own.
TEST(SysfsTransportOnThisMachine, ListsThePciFunctionsWithoutDevMem)
{
    const fs::path devices = "/sys/bus/pci/devices";
    std::error_code error;
    if (!fs::is_directory(devices, error) || fs::is_empty(devices, error))
    {
        GTEST_SKIP() << "no PCI bus in this machine's sysfs";
    }
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "the transport needs root";
    }
    const testkit::CScratchDirectory scratch{"romvise-nomem"};
    LinuxDriverTransportOptions options;
    options.memoryDevice = (scratch / "no-mem").string();
    options.usePorts = false;
    ReleaseSingletons();
    auto* transport = new CLinuxDriverTransport(options);
    InstallDriverTransport(CRefPtr<IDriverTransport>(transport));
    SetAcpiTableDirectory("/sys/firmware/acpi/tables");

    PCIDeviceAccessorList functions;
    IPCIBus::Create()->FindPCIDevices(functions, 0, nullptr, false, nullptr);
    EXPECT_TRUE(transport->UsesSysfs());

    uint8_t endBus = 0xFF;
    GetAcpiTableAccessor()->GetMcfgEntry(0, nullptr, nullptr, nullptr, &endBus);
    std::vector<SysfsPciFunction> listed;
    int listError = 0;
    ASSERT_TRUE(ListSysfsPciFunctions("/sys/bus/pci", listed, listError));
    size_t reachable = 0;
    for (const SysfsPciFunction& function : listed)
    {
        reachable += function.segment == 0 && function.bus <= endBus ? 1 : 0;
    }
    EXPECT_EQ(functions.size(), reachable);
    EXPECT_GT(reachable, 0u);
    for (const CRefPtr<IPCIDeviceAccessor>& function : functions)
    {
        EXPECT_NE(function->ReadConfig32(0) & 0xFFFF, 0xFFFFu);
    }

    functions.clear();
    ReleaseSingletons();
    InstallDriverTransport(nullptr);
    SetAcpiTableDirectory("");
}
} // namespace
