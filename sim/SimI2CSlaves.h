#pragma once
// Standard I2C slaves of a simulated GPU's ports: a display's data channel and
// the ChiL power regulator.

#include "sim/SimI2CBus.h"

#include <array>
#include <cstdint>

// A display's data channel (0xA0): 256 bytes behind an address pointer. A
// write sets the pointer with its first byte and stores the rest; a read
// returns bytes from the pointer on, wrapping at the end.
class CSimDisplaySlave : public CSimI2CByteSlave
{
public:
    explicit CSimDisplaySlave(std::string name = "display", uint8_t address = 0xA0);

    std::array<uint8_t, 256>& Bytes() { return m_bytes; }
    // Refuse (not acknowledge) written data bytes from the n-th on (0 = the
    // pointer byte); -1 accepts them all.
    void SetRefuseFrom(int index) { m_refuseFrom = index; }

protected:
    bool OnAddress(bool read) override;
    bool OnWrite(uint8_t byte) override;
    uint8_t OnRead() override;
    void OnStop() override {}

private:
    std::array<uint8_t, 256> m_bytes{};
    uint8_t m_pointer = 0;
    int m_written = 0;
    int m_refuseFrom = -1;
};

// The ChiL power regulator (0xE0), reached by SMBus process calls: command
// 0xD1 with a register number reads the register (reply: its value, then 0);
// command 0xD0 with data value << 8 | register writes it. Registers 0x8C and
// 0x91 identify the part; 0xD4 is its I2C access control.
class CSimRegulatorSlave : public CSimI2CByteSlave
{
public:
    explicit CSimRegulatorSlave(std::string name = "regulator", uint8_t address = 0xE0);

    std::array<uint8_t, 256>& Registers() { return m_registers; }
    // Registers written through command 0xD0, in order: (register, value).
    const std::vector<std::pair<uint8_t, uint8_t>>& Writes() const { return m_writes; }

protected:
    bool OnAddress(bool read) override;
    bool OnWrite(uint8_t byte) override;
    uint8_t OnRead() override;
    void OnStop() override;

private:
    std::array<uint8_t, 256> m_registers{};
    std::vector<uint8_t> m_received;
    std::array<uint8_t, 2> m_reply{};
    size_t m_replyIndex = 0;
    std::vector<std::pair<uint8_t, uint8_t>> m_writes;
};
