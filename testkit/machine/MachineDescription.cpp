#include "testkit/machine/MachineDescription.h"

#include "core/TextHelpers.h"

#include <cstdio>

namespace testkit
{
namespace
{
std::string PciAddress(unsigned bus, unsigned device)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.0", bus, device);
    return text;
}
} // namespace

nlohmann::json MachineWithGpus(const std::vector<MachineGpu>& gpus)
{
    nlohmann::json pci = nlohmann::json::array();
    nlohmann::json devices = nlohmann::json::array();
    for (size_t i = 0; i < gpus.size(); ++i)
    {
        const MachineGpu& gpu = gpus[i];
        const auto bus = static_cast<unsigned>(i + 1);
        const std::string name = "gpu" + std::to_string(i);
        pci.push_back({{"address", PciAddress(0, bus)},
                       {"vendor", "0x8086"},
                       {"device", "0x7A38"},
                       {"class", "0x060400"},
                       {"bridge", {{"secondary", bus}, {"subordinate", bus}}}});
        pci.push_back(
            {{"address", PciAddress(bus, 0)},
             {"vendor", "0x7E2B"},
             {"device", ToHexString64(gpu.deviceId, 1)},
             {"class", "0x030000"},
             {"revision", "0xA1"},
             {"subsystem", {{"vendor", "0x7E2B"}, {"device", "0x0001"}}},
             {"bars",
              {{{"index", 0},
                {"size", "0x1000000"},
                {"address", ToHexString64(0xC0000000u + i * 0x2000000u, 1)}}}},
             {"model",
              {{"kind", "gpu"},
               {"name", name},
               {"device_kind", gpu.deviceKind},
               {"straps", "0x400000"},
               {"eeprom", {{"kind", "spi_flash"}, {"part", gpu.part}, {"file", gpu.chipFile}}}}}});
        if (gpu.kestrix)
        {
            devices.push_back(
                {{"kind", "kestrix"}, {"name", "kestrix" + std::to_string(i)}, {"gpu", name}});
        }
    }
    nlohmann::json machine = {
        {"acpi", {{"mcfg", {{{"base", "0xE0000000"}, {"start_bus", 0}, {"end_bus", 255}}}}}},
        {"pci", pci}};
    if (!devices.empty())
    {
        machine["devices"] = devices;
    }
    return machine;
}
} // namespace testkit
