#pragma once
// A simulated PLX PEX 8747 switch, attached to the switch's upstream
// function. It owns the EEPROM controller and the 4 KiB EEPROM behind it (a
// 25AA320A: 1024 dwords; dword indexes wrap at the array's end).
//
//   BAR0 0x0260      EEPROM control: bits 0-12 dword index, bit 20 index bit
//                    13, bits 13-15 command, bit 18 start (reads set while the
//                    controller is busy), bits 24-31 the status byte after a
//                    read-status command
//   BAR0 0x0264      EEPROM data
//   BAR0 0x0760      bit 16: the controller also answers in extended
//                    configuration space (revisions 0xCA and later)
//   anything else    plain registers that read back what was written
//   config 0x0260/4  the controller, while bit 16 of 0x760 is set on a
//                    revision 0xCA or later; plain configuration bytes
//                    otherwise
//   config 0x0B7C    bits 0-7: chip revision (read-only)
//   config 0x0F60    writable; bit 26 set at power-on
//   config 0x0020    memory base and limit, writable
//
// Commands (the EEPROM's own opcodes): 3 read the dword into the data
// register, 2 write the data register to the dword (needs write enable; the
// block-protect bits of the status refuse it), 6 write enable, 4 write
// disable, 5 read status, 1 write status from bits 0-7 of the data register
// (needs write enable). After a command the controller stays busy for a set
// number of reads of the control register; a command started while busy is
// dropped and counted ("plx commands while busy").
//
// Counters: "plx eeprom reads", "plx eeprom writes", "plx commands while busy".

#include "sim/ChipStore.h"
#include "sim/ISimDevice.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CSimPciFunction;

struct SimPlxConfig
{
    uint8_t revision = 0xCA;
    // Reads of the control register that still show busy after a command.
    uint32_t busyPolls = 2;
    // The controller never leaves busy once a command started.
    bool stuckBusy = false;
    // Extended configuration dword 0xF60 at power-on.
    uint32_t debugControl = 1u << 26;
};

class CSimPlxSwitch : public ISimDevice
{
public:
    static constexpr size_t kEepromSize = 0x1000;

    // `eeprom` empty: 4 KiB in memory, erased.
    CSimPlxSwitch(std::string name, CSimPciFunction& function, const SimPlxConfig& config,
                  std::shared_ptr<CSimChipStore> eeprom = nullptr);

    CSimChipStore& Eeprom() { return *m_eeprom; }
    CSimPciFunction& Function() { return m_function; }
    uint8_t Status() const;
    bool IsConfigPathOpen() const;
    // Every value written to the control register, in order.
    const std::vector<uint32_t>& ControlWrites() const { return m_controlWrites; }

    void SetRegister(uint32_t offset, uint32_t value);
    uint32_t Register(uint32_t offset) const;

    // ISimDevice.
    std::string Name() const override { return m_name; }
    void Attach(CSimMachine& machine) override;
    uint32_t ReadBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width) override;
    void WriteBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width,
                  uint32_t value) override;
    std::optional<uint32_t> ReadConfig(CSimPciFunction& function, uint32_t offset,
                                       unsigned width) override;
    void OnConfigWrite(CSimPciFunction& function, uint32_t offset, unsigned width,
                       uint32_t value) override;

private:
    uint32_t ReadDword(uint32_t offset);
    void WriteDword(uint32_t offset, uint32_t value);
    void WriteControl(uint32_t value);
    void RunCommand(uint32_t command, uint32_t index);
    bool IsBusy() const { return m_stuck || m_busyLeft > 0; }
    bool IsProtected(uint32_t index) const;
    uint32_t ArrayDword(uint32_t index) const;
    void SetArrayDword(uint32_t index, uint32_t value);
    void Count(const std::string& name);

    std::string m_name;
    CSimPciFunction& m_function;
    SimPlxConfig m_config;
    std::shared_ptr<CSimChipStore> m_eeprom;
    CSimMachine* m_machine = nullptr;
    std::map<uint32_t, uint32_t> m_registers;
    uint32_t m_control = 0;
    uint32_t m_data = 0;
    uint8_t m_statusBits = 0; // WPEN, BP1, BP0 as written
    bool m_writeEnabled = false;
    uint32_t m_busyLeft = 0;
    bool m_stuck = false;
    std::vector<uint32_t> m_controlWrites;
};
