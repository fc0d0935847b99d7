#include "core/DisplayDevices.h"
#include "platform/linux/LinuxServices.h"
#include "platform/linux/Sysfs.h"

#include <cerrno>

namespace fs = std::filesystem;

CLinuxD3ColdControl::CLinuxD3ColdControl(fs::path pciRoot) : m_pciRoot(std::move(pciRoot)) {}

int32_t CLinuxD3ColdControl::EnumerateGpus(std::vector<std::string>& gpus)
{
    std::vector<SysfsPciFunction> functions;
    int error = 0;
    if (!ListSysfsPciFunctions(m_pciRoot, functions, error))
    {
        return error != 0 ? error : EIO;
    }
    gpus.clear();
    for (const SysfsPciFunction& function : functions)
    {
        if (IsMakerDisplayFunction(function.vendorId, function.classCode))
        {
            gpus.push_back(function.address);
        }
    }
    return 0;
}

fs::path CLinuxD3ColdControl::AttributeOf(const std::string& gpu) const
{
    // The handle names a file below the PCI root: only a well-formed address is used.
    SysfsPciFunction parsed;
    if (!ParsePciAddress(gpu, parsed))
    {
        return {};
    }
    return m_pciRoot / "devices" / gpu / "d3cold_allowed";
}

int32_t CLinuxD3ColdControl::QueryD3Cold(const std::string& gpu, uint32_t& allowed)
{
    const fs::path attribute = AttributeOf(gpu);
    if (attribute.empty())
    {
        return EINVAL;
    }
    const auto value = ReadSysfsNumber(attribute);
    if (!value)
    {
        return ENOENT;
    }
    allowed = *value;
    return 0;
}

int32_t CLinuxD3ColdControl::SetD3Cold(const std::string& gpu, bool allowed)
{
    const fs::path attribute = AttributeOf(gpu);
    if (attribute.empty())
    {
        return EINVAL;
    }
    return WriteSysfsText(attribute, allowed ? "1" : "0");
}
