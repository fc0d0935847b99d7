#pragma once
// Serial flash chips behind a simulated GPU's bit-banged EEPROM control
// register (see sim/SimEepromChip.h), in two flavours:
//
// Standard (SPI mode 0): the chip samples its input on the rising clock edge
// and shifts its output out on the falling edge. Commands: 0x9F JEDEC ID,
// 0x90 manufacturer/device ID, 0x15 product ID, 0xAB signature, 0x06 write
// enable, 0x04 write disable (also ends auto-address-increment programming),
// 0x05 read status (bit 0 busy, bit 1 write enable latch, the part's
// block-protect bits), 0x01 write status (needs the latch or 0x50), 0x50
// enable write status, 0x98 global unlock (parts that have it), 0x02 page
// program (clears bits only; the address wraps inside its page; one byte on
// the SST25 parts), 0xAD/0xAF word and byte auto-address-increment
// programming (the SST25 part's own one), 0x03 read, and the part's own erase
// opcodes. Program and erase need the write
// enable latch, which they clear, and are refused while any block-protect bit
// is set. Commands take effect when chip select rises.
//
// SST: the chip drives its output on the rising edge, so the driver samples
// after the pulse. Commands: 0x90 + address (0: manufacturer, 1: device),
// 0x60 + address + 0xD0 chip erase, 0x20 + address + 0xD0 erase of what the
// part's 0x20 erases, 0x10 + address + data + one trailing byte program (in
// order, wrapping inside the part's page), 0x9F status (bit 0 set
// when ready), 0xFF + address + two dummy bytes read.
//
// The part's own datasheet facts (sim/SimFlashParts.h) give its answers to
// the ID commands (a command the part does not know reads 0xFF), its size and
// page, which opcodes erase how much, its protect bits and its times. An erase
// wipes what the opcode wipes on the real part, so a driver that sends the
// wrong opcode loses the neighbouring blocks here as it would on a board.
// Tests may replace the answer of any ID command.
//
// Program and erase keep the chip busy for datasheet times on the machine's
// virtual clock. Contents live in a chip store, so a file-backed chip keeps
// what a run left behind.

#include "sim/SimEepromChip.h"
#include "sim/SimFlashParts.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CVirtualClock;
struct SimCounters;

enum class ESimSpiFlavour
{
    Standard,
    SST,
};

// The times the chip takes, in microseconds: the part's typical datasheet
// figures unless a test or machine file sets others.
struct SimSpiFlashTiming
{
    uint64_t pageProgram = 700;
    uint64_t byteProgram = 10;    // one auto-address-increment step, one SST byte
    uint64_t sectorErase = 45000; // up to 4 KiB
    uint64_t blockErase = 150000; // larger erase blocks
    uint64_t chipErase = 2000000;
    uint64_t writeStatus = 10000;
};

struct SimSpiFlashFaults
{
    // Byte offset → (mask, value): the masked bits always hold the value.
    std::map<uint32_t, std::pair<uint8_t, uint8_t>> stuckBits;
    // Once busy, the chip never becomes ready again.
    bool neverReady = false;
    // Write enable is ignored: program, erase and status writes never act.
    bool loseWriteEnable = false;
    // The write-protect pin is held: status writes are ignored.
    bool writeProtectPin = false;
    // After each program, erase or status write the chip answers busy to
    // this many status reads beyond its busy time.
    uint32_t extraBusyReads = 0;
    // The process stops, as on a power loss, right after this many program
    // operations (0: never). The contents written so far are on disk.
    uint32_t stopAfterPrograms = 0;
    // The same stop, right after this many erase operations (0: never).
    uint32_t stopAfterErases = 0;
};

// The exit status of a process stopped by the stopAfterPrograms or
// stopAfterErases fault.
constexpr int kSimStoppedExitCode = 86;

struct SimFlashOperation
{
    uint32_t address;
    uint32_t length;
    bool operator==(const SimFlashOperation&) const = default;
};

class CSimSpiFlash : public ISimEepromChip
{
public:
    // `clock` and `counters` may be null (no busy time, nothing counted).
    CSimSpiFlash(std::string name, const SimFlashPart& part, ESimSpiFlavour flavour,
                 std::shared_ptr<CSimChipStore> contents, CVirtualClock* clock,
                 SimCounters* counters);

    // The simulated part known by this ID; std::invalid_argument when there is none.
    static const SimFlashPart& FindPart(uint8_t manufacturerId, uint16_t deviceId);
    const SimFlashPart& Part() const { return m_part; }
    uint32_t SizeInBytes() const { return m_size; }
    SimSpiFlashTiming& Timing() { return m_timing; }
    SimSpiFlashFaults& Faults() { return m_faults; }
    // Replaces the answer of an ID command (the bytes after the opcode, or
    // after its address bytes); the last byte repeats.
    void SetIdAnswer(uint8_t opcode, std::vector<uint8_t> answer);
    uint8_t Status() const { return m_status; }
    void SetStatus(uint8_t status) { m_status = status; }

    // What the chip did, in order.
    const std::vector<SimFlashOperation>& Erases() const { return m_erases; }
    const std::vector<SimFlashOperation>& Programs() const { return m_programs; }
    uint64_t BytesClocked() const { return m_bytesClocked; }
    uint64_t StatusReads() const { return m_statusReads; }
    uint64_t CommandCount(uint8_t opcode) const;
    void ClearHistory();

    // ISimEepromChip.
    std::string Name() const override { return m_name; }
    void SetLines(bool selected, bool clock, bool dataIn) override;
    bool DataOut() const override { return m_dataOut; }
    void Release() override;
    CSimChipStore& Contents() override { return *m_contents; }

private:
    bool IsBusy() const;
    bool IsProtected() const;
    void StartBusy(uint64_t microseconds);
    void BeginFrame();
    void EndFrame();
    void ByteReceived(uint8_t value);
    uint8_t NextOutputByte();
    uint8_t IdAnswer(uint8_t opcode, size_t index) const;
    // One status read: busy, using up an extra busy read when past the busy time.
    bool StatusReadBusy();
    uint8_t StandardStatus();
    uint32_t FrameAddress() const;
    void ExecuteStandard();
    void ExecuteWriteStatus(size_t length);
    void ExecutePageProgram(size_t length);
    void ExecuteAutoIncrement(uint8_t opcode, size_t length);
    void ExecuteErase(uint8_t opcode, size_t length);
    void ExecuteSst();
    void Program(uint32_t address, const uint8_t* data, size_t length, bool wrapInPage);
    void Erase(uint32_t address, uint32_t length);
    // Ends the process, as a power loss, once `done` operations reach a
    // non-zero `stopAfter`.
    void StopWhenCountReached(size_t done, uint32_t stopAfter);
    // The erase the opcode starts, with the address the frame carries.
    void EraseByOpcode(const SimFlashErase& erase, uint32_t address);
    uint64_t EraseTime(uint32_t length) const;
    void ApplyStuckBits(uint32_t address, uint32_t length);

    std::string m_name;
    SimFlashPart m_part;
    ESimSpiFlavour m_flavour;
    std::shared_ptr<CSimChipStore> m_contents;
    CVirtualClock* m_clock;
    SimCounters* m_counters;
    uint32_t m_size;
    uint32_t m_pageSize;
    SimSpiFlashTiming m_timing;
    SimSpiFlashFaults m_faults;
    std::map<uint8_t, std::vector<uint8_t>> m_idAnswers;

    // Lines and shift registers.
    bool m_selected = false;
    bool m_clockLine = false;
    bool m_dataOut = true;
    unsigned m_bitCount = 0;
    uint8_t m_shiftIn = 0;
    uint8_t m_shiftOut = 0xFF;
    std::vector<uint8_t> m_frame;
    size_t m_received = 0;
    bool m_statusLatched = false;
    uint8_t m_latchedStatus = 0;
    bool m_statusPending = false;

    // Chip state.
    uint8_t m_status = 0;
    bool m_writeEnabled = false;
    bool m_statusWriteEnabled = false;
    bool m_autoIncrement = false;
    uint32_t m_autoIncrementAddress = 0;
    uint64_t m_busyUntil = 0;
    bool m_everBusy = false;
    uint32_t m_busyReadsLeft = 0;

    std::vector<SimFlashOperation> m_erases;
    std::vector<SimFlashOperation> m_programs;
    std::map<uint8_t, uint64_t> m_commands;
    uint64_t m_bytesClocked = 0;
    uint64_t m_statusReads = 0;
};
