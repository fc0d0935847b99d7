#pragma once
// A simulated ZX22 bridge. Its PCI function holds the IDs, the revision and
// the bus numbers; its registers show in a 16 KiB window (the MCC window) of a
// simulated GPU's BAR0, at window index × 0x4000, through a register hook on
// the GPU:
//
//   0x0000          IDs (the bridge function's configuration dword 0)
//   0x0018          bus numbers (its configuration dword 0x18)
//   0x0210          bit 0: debug switch; while set the EEPROM lines stay off
//   0x0600          placement: bits 24-31 the GPU BAR0's top byte, bits 14-23
//                   the window offset; writing it moves the window there
//   0x0604          window offset
//   0x0B00          bits 6-7: EEPROM type strap
//   0x0B04          EEPROM control, decoded as on the GPU (see
//                   sim/SimEepromChip.h): the lines go to the bridge's chip
//   0x1000-0x1FFF   the first 4 KiB of the chip's contents; writes go to the
//                   chip's parallel interface
//   anything else   plain registers that read back what was written
//
// Two bridges may show in one GPU, each at its own window.

#include "sim/ISimDevice.h"
#include "sim/SimEepromChip.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

class CSimGpu;
class CSimPciFunction;

struct SimZX22Config
{
    // Where the window starts: index × 0x4000 in the GPU's BAR0.
    uint32_t window = 6;
    // Register 0x210 at power-on (the debug switch on).
    uint32_t debug = 1;
    // Register 0xB00 (EEPROM type strap in bits 6-7).
    uint32_t straps = 0;
    // The placement register's own settings (bits 0-13), beside the offset.
    uint32_t placementSettings = 0x0401;
};

class CSimZX22Bridge : public ISimDevice
{
public:
    static constexpr uint32_t kWindowSize = 0x4000;

    CSimZX22Bridge(std::string name, CSimPciFunction& function, CSimGpu& gpu,
                   const SimZX22Config& config);
    ~CSimZX22Bridge() override;

    void AttachChip(std::shared_ptr<ISimEepromChip> chip) { m_chip = std::move(chip); }
    ISimEepromChip* Chip() const { return m_chip.get(); }
    CSimPciFunction& Function() { return m_function; }
    // The window index the bridge answers at now.
    uint32_t WindowIndex() const { return m_window; }

    // Registers as stored (no side effects), offsets into the window.
    void SetRegister(uint32_t offset, uint32_t value);
    uint32_t Register(uint32_t offset) const;

    // Accesses at GPU BAR0 offsets; nullopt and false outside the window.
    std::optional<uint32_t> ReadWindow(uint64_t gpuOffset, unsigned width);
    bool WriteWindow(uint64_t gpuOffset, unsigned width, uint32_t value);

    // ISimDevice: claims the window in the GPU.
    std::string Name() const override { return m_name; }
    void Attach(CSimMachine& machine) override;

private:
    std::optional<uint32_t> WindowOffset(uint64_t gpuOffset, unsigned width) const;
    uint32_t ReadDword(uint32_t offset);
    void WriteDword(uint32_t offset, uint32_t value);
    uint8_t ROMByte(uint32_t offset) const;
    void WriteControl(uint32_t value);

    std::string m_name;
    CSimPciFunction& m_function;
    CSimGpu& m_gpu;
    SimZX22Config m_config;
    uint32_t m_window;
    std::map<uint32_t, uint32_t> m_registers;
    std::shared_ptr<ISimEepromChip> m_chip;
};
