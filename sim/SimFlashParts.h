#pragma once
// The serial flash parts the simulated machine can put behind a GPU's EEPROM
// pins, each with the facts its maker's datasheet gives: the answers to the
// identification commands, size, program page, the erase commands with what
// each erases, the status bits and the program and erase times.
//
// These facts are the simulator's own. They are written from the datasheets,
// not taken from the program's part catalogue, so that a wrong catalogue row
// shows up in the tests as it would on a board.

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// A datasheet time: the typical figure, which the simulated chip takes, and
// the maximum the part may take.
struct SimFlashTime
{
    uint32_t typicalUs;
    uint32_t maximumUs;
};

struct SimFlashErase
{
    uint8_t opcode;
    // The bytes one command erases, from the address rounded down to that
    // size; 0 for a whole-chip erase.
    uint32_t bytes;
    SimFlashTime time;
    // SST26 block erase: the lowest and highest 64 KiB of the part are erased
    // as four 8 KiB blocks at the outer end and one 32 KiB block next to them.
    bool smallBlocksAtTheEnds = false;
};

// The bytes a part shifts out after an identification command (and after its
// address or dummy bytes); the last byte repeats. Empty: the part does not
// know the command and its output stays high.
struct SimFlashId
{
    uint8_t length = 0;
    std::array<uint8_t, 3> bytes{};
};

struct SimFlashPart
{
    const char* name;
    // The ID the part is known by: its JEDEC answer when it has one, else the
    // answer of its maker's older ID command. Machine files name parts by it.
    uint8_t manufacturerId;
    uint16_t deviceId;
    SimFlashId jedecId;   // 0x9F
    SimFlashId readId;    // 0x90 + three address bytes: manufacturer, device
    SimFlashId signature; // 0xAB + three dummy bytes
    SimFlashId productId; // 0x15 (Atmel's read product ID)
    uint32_t sizeBytes;
    // 0x02 programs up to this many bytes, wrapping inside the page; 1 on the
    // SST25 parts, whose 0x02 programs a single byte.
    uint32_t pageBytes;
    // SST auto-address-increment programming: 0xAF one byte a step, 0xAD two
    // bytes a step; 0 when the part has none.
    uint8_t autoIncrementOpcode;
    std::vector<SimFlashErase> erases;
    // Status register: the block-protect bits, and every bit 0x01 may write.
    uint8_t protectBits;
    uint8_t writableStatusBits;
    // 0x98 clears the block protection (SST26).
    bool globalUnlock;
    SimFlashTime pageProgram; // a whole page (the SST25 parts: one byte)
    SimFlashTime byteProgram; // one auto-address-increment step
    SimFlashTime writeStatus;
};

std::span<const SimFlashPart> GetSimFlashParts();

// The part known by this ID, or null.
const SimFlashPart* FindSimFlashPart(uint8_t manufacturerId, uint16_t deviceId);

// The erase the opcode starts on the part, or null when it is no erase command.
const SimFlashErase* FindSimFlashErase(const SimFlashPart& part, uint8_t opcode);

// The first byte and the length of what the erase wipes when sent with this
// address; the whole part for a chip erase.
std::pair<uint32_t, uint32_t> SimFlashEraseRange(const SimFlashPart& part,
                                                 const SimFlashErase& erase, uint32_t address);
