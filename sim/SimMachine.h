#pragma once
// The simulated machine: a physical address space of RAM, the ECAM window and
// ranges claimed by device models; an I/O port space with configuration
// mechanism #1 on 0xCF8/0xCFC; PCI functions reachable through the bridges
// above them; a virtual clock that every register access advances by a set
// cost; and counters. Unclaimed reads return all ones and unclaimed writes
// are dropped, as on a real bus.

#include "core/RefCount.h"
#include "core/platform/IPowerSource.h"
#include "core/platform/ITrustedRootSource.h"
#include "sim/ISimDevice.h"
#include "sim/SimCounters.h"
#include "sim/SimPciFunction.h"
#include "sim/VirtualClock.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <optional>
#include <utility>
#include <vector>

class CSimMachine
{
public:
    static constexpr uint64_t kLowMemorySize = 0x100000;

    // Starts with RAM below 1 MiB, nothing else.
    CSimMachine();
    CSimMachine(const CSimMachine&) = delete;
    CSimMachine& operator=(const CSimMachine&) = delete;

    CVirtualClock& Clock() { return *m_clock; }
    CRefPtr<IClock> ClockService() const { return CRefPtr<IClock>(m_clock.get()); }
    SimCounters& Counters() { return m_counters; }
    // The virtual time each register, port or configuration access takes.
    void SetAccessCostNanoseconds(uint64_t nanoseconds) { m_accessCost = nanoseconds; }

    // The machine's power supply (AC on, no battery unless set) and the
    // reboots asked of it.
    PowerStatus& Power() { return m_power; }
    uint32_t RebootCount() const { return m_reboots; }
    void RecordReboot();
    // Keeps the reboot count in a file (decimal text), so that a later
    // process sees the reboots of earlier ones: loaded now when the file
    // exists, written at every reboot.
    void KeepRebootsInFile(const std::string& path);
    // The file where the machine's display devices record every unbind and
    // bind of a display driver and the state each display ends in (see
    // CSimDisplayDevices); empty for none.
    const std::string& DisplayRecordFile() const { return m_displayRecordFile; }
    void KeepDisplayRecordInFile(std::string path) { m_displayRecordFile = std::move(path); }
    // The folder where the programs keep state across runs on this machine:
    // the machine file's folder; empty for a machine made without a file,
    // which keeps none.
    const std::string& StateDirectory() const { return m_stateDirectory; }
    void SetStateDirectory(std::string folder) { m_stateDirectory = std::move(folder); }

    // The root certificate 2.0 a machine file names in place of the
    // program's built-in root, so that images signed under a test chain pass
    // the certificate checks on this machine (the programs' software check
    // and the Kestrix microcode's): its "Salted__" container and the pass
    // phrase that opens it.
    using CertificateRoot = ::TrustedRoot;
    const std::optional<CertificateRoot>& TrustedRoot() const { return m_trustedRoot; }
    void SetTrustedRoot(CertificateRoot root) { m_trustedRoot = std::move(root); }
    // The named root, the built-in one without.
    CertificateRoot RootInForce() const
    {
        if (!m_trustedRoot)
        {
            return BuiltInTrustedRoot();
        }
        return *m_trustedRoot;
    }

    // Memory.
    void AddRam(uint64_t base, uint64_t size);
    // Direct RAM contents, for builders and tests; throws when the range is
    // not all inside one RAM region.
    void WriteRam(uint64_t address, std::span<const uint8_t> bytes);
    std::vector<uint8_t> ReadRam(uint64_t address, uint64_t length) const;
    void SetEcamWindow(uint64_t base, uint8_t startBus, uint8_t endBus);
    void ClaimMemory(uint64_t base, uint64_t size, ISimDevice& device, int tag);
    void ClaimPorts(uint16_t first, uint16_t count, ISimDevice& device);

    // PCI topology. A function on bus 0 is always reachable; one on another
    // bus only through a reachable bridge whose bus range holds that bus.
    CSimPciFunction& AddFunction(uint8_t bus, uint8_t device, uint8_t function);
    CSimPciFunction* FindFunction(uint8_t bus, uint8_t device, uint8_t function);
    CSimPciFunction* FindReachableFunction(uint8_t bus, uint8_t device, uint8_t function);
    const std::vector<std::unique_ptr<CSimPciFunction>>& Functions() const { return m_functions; }

    // Device models; the machine keeps them for its life.
    ISimDevice& AddDevice(std::shared_ptr<ISimDevice> device);
    ISimDevice* FindDevice(const std::string& name) const;

    // The bus, as the driver transport reaches it.
    uint32_t ReadMemory(uint64_t address, unsigned width);
    void WriteMemory(uint64_t address, unsigned width, uint32_t value);
    uint32_t ReadPort(uint16_t port, unsigned width);
    void WritePort(uint16_t port, unsigned width, uint32_t value);
    uint32_t ReadConfig(uint8_t bus, uint8_t device, uint8_t function, uint32_t offset,
                        unsigned width);
    void WriteConfig(uint8_t bus, uint8_t device, uint8_t function, uint32_t offset, unsigned width,
                     uint32_t value);

private:
    struct RamRegion
    {
        uint64_t base;
        std::vector<uint8_t> bytes;
    };
    struct MemoryClaim
    {
        uint64_t base;
        uint64_t size;
        ISimDevice* device;
        int tag;
    };
    struct PortClaim
    {
        uint16_t first;
        uint16_t count;
        ISimDevice* device;
    };
    struct EcamWindow
    {
        uint64_t base = 0;
        uint8_t startBus = 0;
        uint8_t endBus = 0;
        bool present = false;
    };

    // The BAR window that the last access decoded to a function fell in, when
    // nothing the bus decodes ahead of that BAR overlaps it: while the layout
    // stays unchanged, every access inside the window goes to that BAR.
    struct LastBar
    {
        uint64_t layoutChanges = 0;
        uint64_t base = 0;
        uint64_t size = 0;
        CSimPciFunction* function = nullptr;
        ISimDevice* model = nullptr;
        int bar = 0;
    };

    bool InLastBar(uint64_t address, unsigned width) const
    {
        return m_lastBar.model && m_lastBar.layoutChanges == m_layoutChanges &&
               address >= m_lastBar.base && address - m_lastBar.base <= m_lastBar.size - width;
    }
    void RememberBar(size_t functionIndex, int bar);
    uint64_t EcamFirst() const;
    uint64_t EcamSize() const;
    RamRegion* FindRam(uint64_t address, uint64_t length);
    const RamRegion* FindRam(uint64_t address, uint64_t length) const;
    bool IsBusReachable(uint8_t bus, int depth) const;
    void ChargeAccess() { m_clock->AdvanceNanoseconds(m_accessCost); }
    uint32_t ReadConfigMechanism1(uint16_t port, unsigned width);
    void WriteConfigMechanism1(uint16_t port, unsigned width, uint32_t value);

    CRefPtr<CVirtualClock> m_clock;
    SimCounters m_counters;
    uint64_t m_accessCost = 0;
    std::vector<RamRegion> m_ram;
    EcamWindow m_ecam;
    std::vector<MemoryClaim> m_memoryClaims;
    // Advanced by every change to RAM regions, the ECAM window, claims,
    // functions' headers, BARs and models: whatever decides where a memory
    // access goes.
    uint64_t m_layoutChanges = 0;
    LastBar m_lastBar;
    std::vector<PortClaim> m_portClaims;
    std::vector<std::unique_ptr<CSimPciFunction>> m_functions;
    std::vector<std::shared_ptr<ISimDevice>> m_devices;
    uint32_t m_configAddress = 0;
    PowerStatus m_power{PowerStatus::kAcOnline, PowerStatus::kNoSystemBattery,
                        PowerStatus::kPercentUnknown};
    uint32_t m_reboots = 0;
    std::string m_rebootFile;
    std::string m_displayRecordFile;
    std::string m_stateDirectory;
    std::optional<CertificateRoot> m_trustedRoot;
};
