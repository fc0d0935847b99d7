#pragma once
// A simulated GPU of one generation, attached to a PCI function and serving
// its BAR0 registers:
//
//   0x000000        chip identification: architecture in bits 24-28,
//                   implementation in bits 20-23
//   0x000200        enable bits (the driver sets bits 16 and 20)
//   0x001084        register gate: bit 11 opens 0x21000-0x21FFF; reads there
//                   with the gate shut return kGatedValue
//   0x001090        debug port (legacy); bit 0 on keeps the EEPROM lines off
//   0x001204        EEPROM control (legacy)
//   0x001850        PROM pins (legacy): the PROM window answers while it is 0
//   0x009200/9210   timer set-up
//   0x009400        timer: the virtual clock's nanoseconds shifted left by 5
//   0x00D000 + 32p  I2C register block of port p (Avrel2 and later); line
//                   register at +0x14
//   0x00DF00..      mutex unit, Dolvik and later: ID 0xDF00, release 0xDF04,
//                   mutex n at 0xDF08 + 4n (32 mutexes)
//   0x00E138 ..     ISO line registers (0xE138 + 24p for ports 0-3,
//                   0xE254 + 32(p-4) for 4-5, 0xE764 + 28(p-6) for 6-9)
//   0x00E194        debug port (ISO and later)
//   0x00E204        EEPROM control (ISO and later)
//   0x00E208        ROM window offset (kinds 8-13): bits 2-23 are where the
//                   ROM window starts in the EEPROM
//   0x00121C        speedometer reading of the one 0x1228 selects (bits 0-3),
//                   0 while that speedometer's control 0x100A40 + 4i lacks
//                   bit 28
//   0x00E800        clock status: bit 16 ready, bit 17 set once bit 0 written
//   0x10A488..      mutex unit, ISO to Cendra2: ID 0x10A488, release
//                   0x10A48C, mutex n at 0x10A580 + 4n (16 mutexes)
//   0x1370A0        PLL control: bit 17 (lock) follows bit 0, or bit 24 of
//                   0x1370A8, unless the PLL is set to never lock
//   0x101000        straps
//   0x300000        PROM window: 1 MiB of the EEPROM
//   0x700000        ROM window (legacy): 1 MiB of the EEPROM
//   0x7E0000        ROM window (ISO and later): 128 KiB of the EEPROM from
//                   the window offset
//   anything else   plain registers that read back what was written
//
// The EEPROM control register is passed to the attached chip (see
// sim/SimEepromChip.h) while the debug port's bit 0 is off. Line registers
// drive the port's CSimI2CBus: bit 0 SCL, bit 1 SDA, while bit 2 (software
// control) is set; ISO reads the live levels back in bits 0-1, Avrel2 and
// later keep the output levels there and read the live ones in bits 4-5.
//
// The mutex unit hands out a new ID on every read of its ID register. Writing
// an ID to a free mutex grants it; writing one to a mutex that is held changes
// nothing (no request waits). Writing 0 releases the mutex, whoever holds it:
// an agent on the bus or another agent of the GPU (HoldMutex).
//
// Other models can claim register ranges of the BAR (the ZX22 bridge's
// window): a hook sees every access first.

#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/ISimDevice.h"
#include "sim/RegisterPages.h"
#include "sim/SimEepromChip.h"
#include "sim/SimI2CBus.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CVirtualClock;

// Register accesses a GPU model hands to another model first.
class ISimGpuRegisterHook
{
public:
    virtual ~ISimGpuRegisterHook() = default;
    // A value for the read, or nullopt to let the GPU serve it.
    virtual std::optional<uint32_t> ReadRegister(uint64_t offset, unsigned width) = 0;
    // True when the hook took the write.
    virtual bool WriteRegister(uint64_t offset, unsigned width, uint32_t value) = 0;
};

struct SimGpuConfig
{
    // Device kind of the generation: 5 legacy, 6 ISO, 7-8 Avrel2, 9 Cendra1,
    // 10 Cendra2, 11 Dolvik, 12 Dolvik1, 13 Estrel.
    uint32_t deviceKind = 6;
    uint32_t architecture = 0x0B;
    uint32_t implementation = 0;
    uint32_t straps = 0;
    // Clock status bit 16 of 0xE800 reads set.
    bool clocksReady = true;
    // The PLL lock bit (17 of 0x1370A0) never sets.
    bool pllNeverLocks = false;
    // The legacy PROM pins ignore writes (the pins cannot be enabled).
    bool promPinsStuck = false;
};

class CSimGpu : public ISimDevice
{
public:
    static constexpr uint32_t kGatedValue = 0xBADF1084;
    static constexpr uint64_t kBarSize = 0x1000000;
    static constexpr unsigned kPortCount = 10;

    CSimGpu(std::string name, CSimPciFunction& function, const SimGpuConfig& config);
    ~CSimGpu() override;

    const SimGpuConfig& Config() const { return m_config; }
    CSimPciFunction& Function() { return m_function; }

    // The EEPROM: a chip model, or plain contents.
    void AttachChip(std::shared_ptr<ISimEepromChip> chip);
    ISimEepromChip* Chip() const { return m_chip.get(); }
    void SetContents(std::shared_ptr<CSimChipStore> contents);

    CSimI2CBus& Port(unsigned port);
    void AddHook(std::shared_ptr<ISimGpuRegisterHook> hook);

    // Registers as stored (no side effects), for builders and tests.
    void SetRegister(uint64_t offset, uint32_t value);
    uint32_t Register(uint64_t offset) const;

    // The reading speedometer i gives once enabled.
    void SetSpeedometerReading(unsigned speedometer, uint32_t reading);

    // Another agent of the GPU takes or lets go of a mutex.
    void HoldMutex(unsigned mutex, uint8_t id);
    void ReleaseHeldMutex(unsigned mutex);
    uint8_t MutexOwner(unsigned mutex) const;

    // Every register access in order, when recording is on.
    struct Access
    {
        bool write;
        uint64_t offset;
        unsigned width;
        uint32_t value;
        bool operator==(const Access&) const = default;
    };
    void RecordAccesses(bool on) { m_recording = on; }
    const std::vector<Access>& Accesses() const { return m_accesses; }
    void ClearAccesses() { m_accesses.clear(); }

    // ISimDevice.
    std::string Name() const override { return m_name; }
    void Attach(CSimMachine& machine) override;
    uint32_t ReadBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width) override;
    void WriteBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width,
                  uint32_t value) override;

private:
    struct MutexUnit
    {
        uint64_t idRegister;
        uint64_t releaseRegister;
        uint64_t first;
        unsigned count;
    };
    struct Mutex
    {
        uint8_t owner = 0; // 0: free
    };

    bool IsLegacy() const { return m_config.deviceKind == kDeviceKindLegacyGpu; }
    bool IsIsoLineLayout() const { return m_config.deviceKind == kDeviceKindIso; }
    MutexUnit Mutexes() const;
    std::optional<unsigned> LinePortAt(uint64_t offset) const;
    uint64_t ControlRegister() const;
    uint64_t DebugPortRegister() const;
    uint32_t ReadDword(uint64_t offset);
    void WriteDword(uint64_t offset, uint32_t value);
    uint32_t ReadRegister(uint64_t offset, unsigned width);
    void WriteRegister(uint64_t offset, unsigned width, uint32_t value);
    uint8_t ChipByte(uint64_t offset) const;
    uint8_t WindowByte(uint64_t offset);
    uint32_t ReadLineRegister(unsigned port);
    void WriteLineRegister(unsigned port, uint32_t value);
    void WriteControl(uint32_t value);

    std::string m_name;
    CSimPciFunction& m_function;
    SimGpuConfig m_config;
    CVirtualClock* m_clock = nullptr;
    CSimRegisterPages m_registers{kBarSize};
    std::shared_ptr<ISimEepromChip> m_chip;
    std::array<std::unique_ptr<CSimI2CBus>, kPortCount> m_ports;
    std::vector<std::shared_ptr<ISimGpuRegisterHook>> m_hooks;
    std::vector<Mutex> m_mutexes;
    std::map<unsigned, uint32_t> m_speedometers;
    uint8_t m_nextMutexId = 1;
    bool m_recording = false;
    std::vector<Access> m_accesses;
};

// A GPU model per device kind with the identification registers of a typical
// part of that generation.
SimGpuConfig SimGpuConfigForKind(uint32_t deviceKind);
