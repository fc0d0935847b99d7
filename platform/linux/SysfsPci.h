#pragma once
// The PCI functions of a Linux machine as sysfs shows them under
// <root>/bus/pci/devices/SSSS:BB:DD.F: configuration space through the
// function's `config` file (pread and pwrite at the register's offset), its
// BARs from its `resource` file, and their contents through `resourceN`,
// which mmap maps. This is how Linux tools reach PCI devices where /dev/mem
// is missing, restricted to the first megabyte or locked down.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// One allocation of the MCFG table: the memory-mapped configuration window of
// a segment's buses.
struct McfgWindow
{
    uint64_t base = 0;
    uint16_t segment = 0;
    uint8_t startBus = 0;
    uint8_t endBus = 0;

    uint64_t First() const { return base + (uint64_t{startBus} << 20); }
    uint64_t Size() const { return (uint64_t{endBus} - startBus + 1) << 20; }
};

// The allocations of an MCFG table file (as /sys/firmware/acpi/tables/MCFG);
// none when the file is missing or shorter than its header. Entries past the
// table's length are not read.
std::vector<McfgWindow> ReadMcfgWindows(const std::filesystem::path& file);

class CSysfsPci
{
public:
    // A memory BAR of a function, as the kernel assigned it.
    struct Bar
    {
        std::string function; // "SSSS:BB:DD.F"
        uint32_t index = 0;
        uint64_t start = 0;
        uint64_t size = 0;
    };

    explicit CSysfsPci(std::filesystem::path devicesDir);
    ~CSysfsPci();
    CSysfsPci(const CSysfsPci&) = delete;
    CSysfsPci& operator=(const CSysfsPci&) = delete;

    const std::filesystem::path& DevicesDir() const { return m_devicesDir; }

    // Lists the functions and their memory BARs; 0, or the errno when the
    // folder cannot be read (ENOENT when there is no PCI bus in sysfs).
    int Load();

    // A configuration access of 1, 2 or 4 bytes. A function that is not there
    // reads as all ones and ignores writes, as on the bus; so do offsets past
    // the end of the function's file (extended space of a conventional
    // function). A write returns 0 or the errno of the failed pwrite.
    uint32_t ReadConfig(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                        uint32_t offset, unsigned width);
    int WriteConfig(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                    uint32_t offset, unsigned width, uint32_t value);

    // The memory BAR whose range holds the physical address, or null.
    const Bar* FindBar(uint64_t physical) const;
    // A memory BAR that lies wholly inside the range, or null.
    const Bar* FindBarInside(uint64_t physical, uint64_t length) const;
    std::filesystem::path ResourceFile(const Bar& bar) const;

private:
    struct ConfigFile
    {
        int fd = -1;
        bool writable = false;
        uint64_t size = 0;
    };

    // The open config file of a listed function, opened for writing when
    // asked; null when the function is not listed or the file cannot be
    // opened.
    ConfigFile* OpenConfig(const std::string& function, bool forWriting);
    void CloseAll();

    std::filesystem::path m_devicesDir;
    std::vector<std::string> m_functions; // sorted
    std::vector<Bar> m_bars;
    std::map<std::string, ConfigFile> m_config;
};
