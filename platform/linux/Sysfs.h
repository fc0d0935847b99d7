#pragma once
// Small readers and writers of sysfs attribute files, and the PCI functions
// listed under a sysfs PCI bus directory.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

// The file's first line without surrounding white space; empty when unreadable.
std::optional<std::string> ReadSysfsText(const std::filesystem::path& file);
// A number in the file ("0x7e2b", "42"); empty when unreadable or not a number.
std::optional<uint32_t> ReadSysfsNumber(const std::filesystem::path& file);
// Writes the text to an attribute in one write; 0 or the errno of the failure.
int WriteSysfsText(const std::filesystem::path& file, const std::string& text);

struct SysfsPciFunction
{
    std::string address; // "0000:01:00.0"
    uint32_t segment = 0;
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint32_t classCode = 0; // base class, subclass, programming interface
    uint8_t revision = 0;
    std::optional<std::string> driver; // name of the bound driver
};

// The names of the entries of a directory, sorted. A missing directory has
// none; false with the error when the directory cannot be read to its end.
bool ListSysfsDirectory(const std::filesystem::path& dir, std::vector<std::string>& names,
                        std::error_code& error);

// Splits "ssss:bb:dd.f"; false when the text is not such an address.
bool ParsePciAddress(const std::string& text, SysfsPciFunction& function);

// The functions under <pciRoot>/devices, by address. A function whose vendor,
// device or class cannot be read is left out. False with the errno when the
// directory cannot be read; a missing directory is an empty bus.
bool ListSysfsPciFunctions(const std::filesystem::path& pciRoot,
                           std::vector<SysfsPciFunction>& functions, int& error);

// Reads one function's attributes; false when the vendor, device or class
// cannot be read.
bool ReadSysfsPciFunction(const std::filesystem::path& pciRoot, const std::string& address,
                          SysfsPciFunction& function);

// One line of a PCI function's `resource` file: lines 0-5 are its BARs, 6 its
// expansion ROM, and bridge windows follow. An unassigned resource is all 0.
struct SysfsPciResource
{
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t flags = 0;

    static constexpr uint64_t kIo = 0x100;         // IORESOURCE_IO
    static constexpr uint64_t kMemory = 0x200;     // IORESOURCE_MEM
    static constexpr uint64_t kUnset = 0x20000000; // IORESOURCE_UNSET

    // Assigned, of memory or I/O, with a range: its size, else 0.
    uint64_t Size() const
    {
        if ((flags & (kIo | kMemory)) == 0 || (flags & kUnset) != 0 || end <= start)
        {
            return 0;
        }
        return end - start + 1;
    }
};

// "SSSS:BB:DD.F" as sysfs names a function.
std::string SysfsPciAddress(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function);

// The lines of <functionDir>/resource; false with the errno when the file
// cannot be read (ENOENT when the function is not there), EINVAL for a line
// that is not three numbers.
bool ReadSysfsPciResources(const std::filesystem::path& functionDir,
                           std::vector<SysfsPciResource>& resources, int& error);
