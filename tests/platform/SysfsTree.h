#pragma once
// A temporary directory standing in for /sys, removed when the object goes.

#include "testkit/ScratchDirectory.h"

#include <cstdint>
#include <filesystem>
#include <string>

class CSysfsTree
{
public:
    const std::filesystem::path& Root() const { return m_root.Path(); }
    std::filesystem::path PciRoot() const { return m_root / "bus" / "pci"; }
    std::filesystem::path PowerRoot() const { return m_root / "class" / "power_supply"; }

    // Writes a file, making its folders.
    void Write(const std::filesystem::path& file, const std::string& text) const;
    std::string Read(const std::filesystem::path& file) const;

    // A PCI function under bus/pci/devices with its ID attributes and a
    // d3cold_allowed of 1; bound to the named driver (which gets bind and unbind
    // files) unless the name is empty.
    std::filesystem::path AddPciFunction(const std::string& address, uint16_t vendor,
                                         uint16_t device, uint32_t classCode,
                                         const std::string& driver) const;
    // What the kernel does after an unbind: the driver link goes.
    void Unlink(const std::string& address) const;

private:
    testkit::CScratchDirectory m_root{"romvise-sysfs"};
};
