#pragma once
// A firmware EEPROM behind a simulated GPU (or bridge). The GPU model passes
// every write of its bit-banged EEPROM control register on to the chip as
// line levels, puts the chip's data line into the register's bit 4 on reads,
// and serves its PROM and ROM windows from the chip's contents.
//
// EEPROM control register bits, as the GPU model decodes them:
//   bit 0  software control: the lines below are driven by the register
//   bit 1  chip select, active low
//   bit 2  clock
//   bit 3  data out (to the chip)
//   bit 4  data in (from the chip; read only)
//
// A chip model that speaks a serial-flash command set implements SetLines and
// DataOut; it sees every change of the lines and acts on clock edges itself.
// CSimPlainEeprom is a chip without a command set: its contents are only read
// through the windows.

#include "sim/ChipStore.h"

#include <cstdint>
#include <memory>
#include <string>

class ISimEepromChip
{
public:
    virtual ~ISimEepromChip() = default;

    virtual std::string Name() const = 0;
    // The lines as the GPU drives them after a write of the control register
    // with software control on: chip select (true while selected, that is
    // while bit 1 is low), clock (bit 2), data to the chip (bit 3). Called on
    // every such write, also when nothing changed.
    virtual void SetLines(bool selected, bool clock, bool dataIn) = 0;
    // The chip's data output, read back in bit 4 of the control register.
    virtual bool DataOut() const = 0;
    // Software control was switched off: the GPU stops driving the lines
    // (the chip sees itself deselected).
    virtual void Release() {}
    // The contents the PROM and ROM windows read.
    virtual CSimChipStore& Contents() = 0;
    // A byte written through the PROM window; a chip without a parallel
    // interface ignores it.
    virtual void WriteWindowByte(uint32_t /*offset*/, uint8_t /*value*/) {}
};

// An EEPROM whose contents are read through the windows only; its serial
// lines do nothing and its data line reads high.
class CSimPlainEeprom : public ISimEepromChip
{
public:
    CSimPlainEeprom(std::string name, std::shared_ptr<CSimChipStore> contents);

    std::string Name() const override { return m_name; }
    void SetLines(bool, bool, bool) override {}
    bool DataOut() const override { return true; }
    CSimChipStore& Contents() override { return *m_contents; }

private:
    std::string m_name;
    std::shared_ptr<CSimChipStore> m_contents;
};
