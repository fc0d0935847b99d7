// Machine-file reader of the Kestrix microcontrollers, in "devices" after the
// GPU they belong to:
//
//   {"kind": "kestrix", "name": "kestrix0", "gpu": "gpu0",
//    "imem_size": "0x10000", "dmem_size": "0x10000",
//    "reset_polls": 3, "dma_polls": 2, "pending_polls": 2,
//    "reset_never_ready": false, "dma_never_idle": false,
//    "reset_permission": "0x10",
//    "error_codes": {"2": 3}, "never_complete": [4],
//    "expected_signature": [16 byte values],
//    "ecid": [32 byte values],
//    "secure_scratch": [64 byte values],
//    "vv": {"push_offset": "0x10", "push_count": 12, "push_from_ifr": false,
//           "cert_info": [byte values], "cert_info_offset": "0x3000"}}
//
// "push_offset", "push_count" and "push_from_ifr" ask for one push request
// the verification raises before it pulls the certificate block (none when
// all three are left out). The verification accepts only an image whose
// signing certificate chains to the machine's "certificate_root" (the
// programs' built-in root without one); "cert_info" is what it returns for an
// accepted image.

#include "sim/MachineFile.h"
#include "sim/SimGpu.h"
#include "sim/SimKestrix.h"
#include "sim/SimMachine.h"

#include <stdexcept>

namespace
{
std::vector<uint8_t> ReadBytes(const nlohmann::json& section, const std::string& key,
                               size_t maximum)
{
    const nlohmann::json list = section.value(key, nlohmann::json::array());
    if (!list.is_array() || list.size() > maximum)
    {
        throw std::runtime_error("\"" + key + "\" holds at most " + std::to_string(maximum) +
                                 " byte values");
    }
    std::vector<uint8_t> bytes;
    for (const nlohmann::json& value : list)
    {
        const uint64_t byte = SimJsonNumber(value, key);
        if (byte > 0xFF)
        {
            throw std::runtime_error("\"" + key + "\" holds a value above 0xFF");
        }
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return bytes;
}

uint32_t ReadMemorySize(const nlohmann::json& section, const std::string& key, uint32_t fallback)
{
    const uint64_t size = SimJsonNumber(section, key, fallback);
    if (size == 0 || size % 256 != 0 || size / 256 > 0x1FF)
    {
        throw std::runtime_error("\"" + key + "\" must be a multiple of 256 up to 0x1FF00");
    }
    return static_cast<uint32_t>(size);
}

uint32_t Number(const nlohmann::json& section, const std::string& key, uint32_t fallback)
{
    return static_cast<uint32_t>(SimJsonNumber(section, key, fallback));
}

std::shared_ptr<ISimDevice> ReadKestrix(const nlohmann::json& section, SimLoadContext& context)
{
    const std::string gpuName = section.value("gpu", std::string());
    auto* gpu = dynamic_cast<CSimGpu*>(context.machine.FindDevice(gpuName));
    if (!gpu)
    {
        throw std::runtime_error("\"gpu\" \"" + gpuName + "\" names no GPU model declared before");
    }
    SimKestrixConfig config;
    config.imemSize = ReadMemorySize(section, "imem_size", config.imemSize);
    config.dmemSize = ReadMemorySize(section, "dmem_size", config.dmemSize);
    config.resetPolls = Number(section, "reset_polls", config.resetPolls);
    config.dmaPolls = Number(section, "dma_polls", config.dmaPolls);
    config.pendingPolls = Number(section, "pending_polls", config.pendingPolls);
    config.resetNeverReady = section.value("reset_never_ready", false);
    config.dmaNeverIdle = section.value("dma_never_idle", false);
    config.resetPermission = Number(section, "reset_permission", config.resetPermission);
    const nlohmann::json errorCodes = section.value("error_codes", nlohmann::json::object());
    for (const auto& [id, code] : errorCodes.items())
    {
        config.errorCodes[static_cast<uint32_t>(std::stoul(id, nullptr, 0))] =
            static_cast<uint32_t>(SimJsonNumber(code, "error_codes"));
    }
    const nlohmann::json neverComplete = section.value("never_complete", nlohmann::json::array());
    for (const nlohmann::json& id : neverComplete)
    {
        config.neverComplete.push_back(static_cast<uint32_t>(SimJsonNumber(id, "never_complete")));
    }
    if (section.contains("expected_signature"))
    {
        const std::vector<uint8_t> bytes = ReadBytes(section, "expected_signature", 16);
        if (bytes.size() != 16)
        {
            throw std::runtime_error("\"expected_signature\" needs 16 byte values");
        }
        config.expectedSignature.emplace();
        std::copy(bytes.begin(), bytes.end(), config.expectedSignature->begin());
    }
    if (section.contains("ecid"))
    {
        config.ecid = ReadBytes(section, "ecid", 32);
        config.ecid.resize(32, 0);
    }
    config.secureScratch = ReadBytes(section, "secure_scratch", 64);
    if (section.contains("vv"))
    {
        const nlohmann::json& vv = section["vv"];
        if (vv.contains("push_offset") || vv.contains("push_count") || vv.contains("push_from_ifr"))
        {
            SimKestrixConfig::Probe probe;
            probe.offset = Number(vv, "push_offset", probe.offset);
            probe.count = Number(vv, "push_count", probe.count);
            probe.fromIfr = vv.value("push_from_ifr", false);
            config.vvProbe = probe;
        }
        config.vvCertInfo = ReadBytes(vv, "cert_info", 0x1000);
        config.vvCertInfoOffset = Number(vv, "cert_info_offset", config.vvCertInfoOffset);
    }
    return std::make_shared<CSimKestrix>(section.value("name", std::string("kestrix")), *gpu,
                                         std::move(config));
}
} // namespace

void RegisterSimKestrixModel(CSimModelRegistry& registry)
{
    registry.Register("kestrix", ReadKestrix);
}
