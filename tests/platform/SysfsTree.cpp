#include "tests/platform/SysfsTree.h"

#include "core/TextHelpers.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

void CSysfsTree::Write(const fs::path& file, const std::string& text) const
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::trunc) << text;
}

std::string CSysfsTree::Read(const fs::path& file) const
{
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path CSysfsTree::AddPciFunction(const std::string& address, uint16_t vendor, uint16_t device,
                                    uint32_t classCode, const std::string& driver) const
{
    const fs::path dir = PciRoot() / "devices" / address;
    Write(dir / "vendor", "0x" + ToHex(vendor, 4) + "\n");
    Write(dir / "device", "0x" + ToHex(device, 4) + "\n");
    Write(dir / "class", "0x" + ToHex(classCode, 6) + "\n");
    Write(dir / "revision", "0xa1\n");
    Write(dir / "d3cold_allowed", "1\n");
    if (!driver.empty())
    {
        const fs::path driverDir = PciRoot() / "drivers" / driver;
        Write(driverDir / "bind", "");
        Write(driverDir / "unbind", "");
        fs::create_directory_symlink(fs::path("../../drivers") / driver, dir / "driver");
    }
    return dir;
}

void CSysfsTree::Unlink(const std::string& address) const
{
    fs::remove(PciRoot() / "devices" / address / "driver");
}
