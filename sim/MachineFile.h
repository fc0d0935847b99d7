#pragma once
// Machine files: a JSON description of a simulated machine. The loader reads
// the parts every machine has (RAM, ACPI tables, PCI functions, access cost)
// and hands each device-model section to the reader registered for its
// "kind". A model kind joins by registering its reader (see
// RegisterBuiltinSimModels in sim/BuiltinModels.cpp).
//
//   {
//     "access_cost_ns": 100,
//     "power": {"ac": false, "battery_percent": 50, "charging": false},
//     "reboots_file": "reboots.txt",
//     "certificate_root": {"container": "root.salted", "pass_phrase": "root.pass"},
//     "ram": [{"base": "0x100000", "size": "0x100000"}],
//     "acpi": {"revision": 2, "rsdp": "0xF0010", "tables_at": "0xF1000",
//              "mcfg": [{"base": "0xE0000000", "start_bus": 0, "end_bus": 255}]},
//     "display_file": "display.txt",
//     "pci": [{"address": "00:01.0", "vendor": "0x10B5", "device": "0x8747",
//              "class": "0x060400", "bridge": {"secondary": 1, "subordinate": 1},
//              "port": 1, "bars": [{"index": 0, "size": "0x20000", "address": "0xF0000000"}],
//              "command": "0x6",
//              "config": [{"offset": "0x64", "value": "0x3", "writable": "0x3"}],
//              "capabilities": [{"id": "0x05", "body": [0, 0]}],
//              "model": {"kind": "registers", ...}}],
//     "devices": [{"kind": "...", ...}]
//   }
//
// "display_file" names the file (relative to the machine file's folder) to
// which each process appends a line for every unbind and bind of a display
// driver ("unbind 0000:01:00.0", "bind 0000:01:00.0") and, when it ends, one
// line for each display with a driver saying the state it ends in
// ("end 0000:01:00.0 bound" or "... unbound"). A process that dies (a
// simulated power loss) writes no end lines.
//
// A BAR's size is a power of two of at least 16 bytes, its address (0 for
// unassigned) is aligned to its size, and a "mem32" BAR lies below 4 GiB.
// Numbers are JSON integers or "0x" hexadecimal strings. File paths inside a
// section are relative to the machine file's folder (SimLoadContext::ResolvePath),
// as is "reboots_file", where the machine keeps the count of reboots asked of
// it (without it the count lives only in memory).
//
// "certificate_root" names the root certificate 2.0 that the programs trust
// on this machine in place of their built-in root: a file with its "Salted__"
// container and a file with the pass phrase that opens it. It lets images
// signed under a test chain pass the certificate checks of a simulated
// adapter: the programs' own (through the platform's trusted-root service)
// and the simulated Kestrix microcode's, which trusts the same root. It
// belongs to the simulated machine only: a program on real hardware always
// trusts its built-in root, and nothing but a machine file can name another.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

class CSimMachine;
class CSimPciFunction;
class ISimDevice;

struct SimLoadContext
{
    CSimMachine& machine;
    std::filesystem::path baseDirectory;
    // The function whose "model" section is read; null for "devices".
    CSimPciFunction* function = nullptr;

    std::string ResolvePath(const std::string& path) const;
};

// Builds the device model of one section; the loader adds it to the machine.
using SimModelReader = std::function<std::shared_ptr<ISimDevice>(const nlohmann::json& section,
                                                                 SimLoadContext& context)>;

class CSimModelRegistry
{
public:
    void Register(const std::string& kind, SimModelReader reader);
    const SimModelReader* Find(const std::string& kind) const;

    // The registry with every model kind of the simulator.
    static const CSimModelRegistry& Builtin();

private:
    std::map<std::string, SimModelReader> m_readers;
};

// Registers the readers of the simulator's model kinds.
void RegisterBuiltinSimModels(CSimModelRegistry& registry);

// Field readers for model readers. Each raises std::runtime_error naming the
// field when it is missing or malformed.
uint64_t SimJsonNumber(const nlohmann::json& value, const std::string& what);
uint64_t SimJsonNumber(const nlohmann::json& object, const std::string& key, uint64_t fallback);
uint64_t SimJsonRequiredNumber(const nlohmann::json& object, const std::string& key);

// A failure in a machine file carries "Machine file <path>: <reason>".
std::shared_ptr<CSimMachine>
LoadMachineFile(const std::string& path,
                const CSimModelRegistry& registry = CSimModelRegistry::Builtin());
std::shared_ptr<CSimMachine>
LoadMachineJson(const nlohmann::json& description, const std::filesystem::path& baseDirectory,
                const CSimModelRegistry& registry = CSimModelRegistry::Builtin());
