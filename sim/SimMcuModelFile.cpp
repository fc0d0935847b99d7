// Machine-file reader of the board MCU, an I2C slave kind of a GPU port.

#include "sim/MachineFile.h"
#include "sim/SimMcu.h"
#include "sim/SimPartReaders.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace
{
// "slaves": [{"kind": "mcu", "address": "0x98", "mode": "app" | "bootloader",
//             "application": "mcu.bin", "refuses_read_page": false,
//             "absent": false, "busy_polls": 2, "stuck_busy": false,
//             "bootloader_version": "0x0103"}]
// The application file is written back whenever the MCU's flash is erased or
// programmed.
std::shared_ptr<ISimI2CSlave> ReadMcuSlave(const nlohmann::json& section, SimLoadContext& context)
{
    SimMcuConfig config;
    config.refusesReadPage = section.value("refuses_read_page", false);
    config.absent = section.value("absent", false);
    config.stuckBusy = section.value("stuck_busy", false);
    config.busyPolls = static_cast<int>(SimJsonNumber(section, "busy_polls", 2) & 0xFF);
    config.bootloaderVersion =
        static_cast<uint16_t>(SimJsonNumber(section, "bootloader_version", 0x0103));
    const uint64_t address = SimJsonNumber(section, "address", 0x98);
    if (address > 0xFE)
    {
        throw std::runtime_error("\"address\" is out of range");
    }
    auto mcu = std::make_shared<CSimMcuSlave>(section.value("name", std::string("mcu")),
                                              static_cast<uint8_t>(address), config);
    if (section.contains("application"))
    {
        const std::string path = context.ResolvePath(section["application"].get<std::string>());
        std::ifstream file(path, std::ios::binary);
        if (!file)
        {
            throw std::runtime_error("cannot open \"application\" " + path);
        }
        mcu->InstallApplication(
            {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()});
        mcu->KeepApplicationIn(path);
    }
    const std::string mode = section.value("mode", std::string("app"));
    if (mode != "app" && mode != "bootloader")
    {
        throw std::runtime_error("\"mode\" must be \"app\" or \"bootloader\"");
    }
    mcu->SetMode(mode == "app" && mcu->IsApplicationValid() ? 1 : 0);
    return mcu;
}
} // namespace

void RegisterSimMcuModel(CSimModelRegistry&)
{
    RegisterSimI2CSlaveKind("mcu", ReadMcuSlave);
}
