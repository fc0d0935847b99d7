#include "sim/SimFlashParts.h"

#include <algorithm>
#include <initializer_list>

namespace
{
constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;
constexpr uint32_t kMs = 1000;
constexpr uint32_t kS = 1000 * kMs;

// Status register bits as the datasheets name them.
constexpr uint8_t kBp0 = 0x04;
constexpr uint8_t kBp1 = 0x08;
constexpr uint8_t kBp2 = 0x10;
constexpr uint8_t kTopBottom = 0x20;
constexpr uint8_t kBp3 = 0x20; // where a part with four protect bits has no TB
constexpr uint8_t kSectorProtect = 0x40;
constexpr uint8_t kQuadEnable = 0x40; // where a part has no SEC
// SRWD, SRP0, WPEN or BPL: the bit that locks the status register.
constexpr uint8_t kStatusLock = 0x80;

SimFlashId Id(std::initializer_list<uint8_t> bytes)
{
    SimFlashId id;
    for (const uint8_t byte : bytes)
    {
        id.bytes.at(id.length++) = byte;
    }
    return id;
}

const SimFlashId kNoId{};

// Erase commands shared by most parts.
SimFlashErase Sector4K(uint8_t opcode, SimFlashTime time)
{
    return {opcode, 4 * kKiB, time};
}
SimFlashErase Block(uint8_t opcode, uint32_t bytes, SimFlashTime time)
{
    return {opcode, bytes, time};
}
SimFlashErase Chip(uint8_t opcode, SimFlashTime time)
{
    return {opcode, 0, time};
}

// Winbond's W25X family: 4 KiB sectors, 64 KiB blocks, one set of commands and
// times; 0x90 and 0xAB answer one less than the last JEDEC byte.
SimFlashPart W25X(const char* name, uint8_t jedecLow, uint32_t sizeBytes, uint8_t protectBits,
                  SimFlashTime chipErase)
{
    const uint8_t legacy = static_cast<uint8_t>(jedecLow - 1);
    return {name,
            0xEF,
            static_cast<uint16_t>(0x3000 | jedecLow),
            Id({0xEF, 0x30, jedecLow}),
            Id({0xEF, legacy}),
            Id({legacy}),
            kNoId,
            sizeBytes,
            256,
            0,
            {Sector4K(0x20, {30 * kMs, 300 * kMs}), Block(0xD8, 64 * kKiB, {250 * kMs, 1 * kS}),
             Chip(0x60, chipErase), Chip(0xC7, chipErase)},
            protectBits,
            static_cast<uint8_t>(protectBits | kTopBottom | kStatusLock),
            false,
            {800, 5 * kMs},
            {10, 50},
            {10 * kMs, 15 * kMs}};
}

// Figures from each maker's datasheet, rounded. Columns: name, the ID it is
// known by; answers to 0x9F, 0x90, 0xAB, 0x15; size, page, auto-increment
// opcode; erases; protect bits, writable status bits, global unlock; page
// program, auto-increment step and status write times.
std::vector<SimFlashPart> MacronixWinbondGigaDeviceParts()
{
    // clang-format off
    return {
        // Macronix MX25L512E: 512 Kbit, uniform 4 KiB sectors in one 64 KiB block.
        {"MX25L512E", 0xC2, 0x2010, Id({0xC2, 0x20, 0x10}), Id({0xC2, 0x05}), Id({0x05}), kNoId,
         64 * kKiB, 256, 0,
         {Sector4K(0x20, {40 * kMs, 200 * kMs}), Block(0xD8, 64 * kKiB, {400 * kMs, 2 * kS}),
          Chip(0x60, {500 * kMs, 2 * kS}), Chip(0xC7, {500 * kMs, 2 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1400, 5 * kMs}, {9, 50}, {40 * kMs, 100 * kMs}},
        // Macronix MX25L4005A: 4 Mbit, 4 KiB sectors, 64 KiB blocks.
        {"MX25L4005A", 0xC2, 0x2013, Id({0xC2, 0x20, 0x13}), Id({0xC2, 0x12}), Id({0x12}), kNoId,
         512 * kKiB, 256, 0,
         {Sector4K(0x20, {60 * kMs, 120 * kMs}), Block(0x52, 64 * kKiB, {1 * kS, 2 * kS}),
          Block(0xD8, 64 * kKiB, {1 * kS, 2 * kS}), Chip(0x60, {4 * kS, 8 * kS}),
          Chip(0xC7, {4 * kS, 8 * kS})},
         kBp0 | kBp1 | kBp2, kBp0 | kBp1 | kBp2 | kStatusLock, false,
         {1400, 5 * kMs}, {9, 50}, {5 * kMs, 100 * kMs}},
        W25X("W25X10", 0x11, 128 * kKiB, kBp0 | kBp1, {250 * kMs, 1 * kS}),
        W25X("W25X20", 0x12, 256 * kKiB, kBp0 | kBp1, {500 * kMs, 2 * kS}),
        W25X("W25X40", 0x13, 512 * kKiB, kBp0 | kBp1 | kBp2, {1 * kS, 4 * kS}),
        W25X("W25X80", 0x14, 1 * kMiB, kBp0 | kBp1 | kBp2, {2 * kS, 8 * kS}),
        // Winbond W25Q80BV: 8 Mbit, 4 KiB sectors, 32 and 64 KiB blocks.
        {"W25Q80BV", 0xEF, 0x4014, Id({0xEF, 0x40, 0x14}), Id({0xEF, 0x13}), Id({0x13}), kNoId,
         1 * kMiB, 256, 0,
         {Sector4K(0x20, {30 * kMs, 400 * kMs}), Block(0x52, 32 * kKiB, {120 * kMs, 800 * kMs}),
          Block(0xD8, 64 * kKiB, {150 * kMs, 1 * kS}), Chip(0x60, {2 * kS, 6 * kS}),
          Chip(0xC7, {2 * kS, 6 * kS})},
         kBp0 | kBp1 | kBp2, kBp0 | kBp1 | kBp2 | kTopBottom | kSectorProtect | kStatusLock, false,
         {700, 3 * kMs}, {10, 50}, {10 * kMs, 15 * kMs}},
        // GigaDevice GD25Q40: 4 Mbit, 4 KiB sectors, 32 and 64 KiB blocks.
        {"GD25Q40", 0xC8, 0x4013, Id({0xC8, 0x40, 0x13}), Id({0xC8, 0x12}), Id({0x12}), kNoId,
         512 * kKiB, 256, 0,
         {Sector4K(0x20, {50 * kMs, 300 * kMs}), Block(0x52, 32 * kKiB, {200 * kMs, 1 * kS}),
          Block(0xD8, 64 * kKiB, {300 * kMs, 1500 * kMs}), Chip(0x60, {2 * kS, 5 * kS}),
          Chip(0xC7, {2 * kS, 5 * kS})},
         kBp0 | kBp1 | kBp2, kBp0 | kBp1 | kBp2 | kTopBottom | kSectorProtect | kStatusLock, false,
         {600, 2400}, {10, 50}, {5 * kMs, 30 * kMs}},
    };
    // clang-format on
}

std::vector<SimFlashPart> SpansionFidelixStTenxAtmelParts()
{
    // clang-format off
    return {
        // Spansion S25FL208K: 8 Mbit, 4 KiB sectors, 64 KiB blocks.
        {"S25FL208K", 0x01, 0x4014, Id({0x01, 0x40, 0x14}), Id({0x01, 0x13}), Id({0x13}), kNoId,
         1 * kMiB, 256, 0,
         {Sector4K(0x20, {60 * kMs, 400 * kMs}), Block(0xD8, 64 * kKiB, {500 * kMs, 1500 * kMs}),
          Chip(0x60, {6 * kS, 15 * kS}), Chip(0xC7, {6 * kS, 15 * kS})},
         kBp0 | kBp1 | kBp2, kBp0 | kBp1 | kBp2 | kTopBottom | kStatusLock, false,
         {1500, 3 * kMs}, {10, 50}, {10 * kMs, 15 * kMs}},
        // Fidelix FM25F04: 4 Mbit, 4 KiB sectors, 64 KiB blocks.
        {"FM25F04", 0xA1, 0x3113, Id({0xA1, 0x31, 0x13}), Id({0xA1, 0x12}), Id({0x12}), kNoId,
         512 * kKiB, 256, 0,
         {Sector4K(0x20, {90 * kMs, 300 * kMs}), Block(0xD8, 64 * kKiB, {1 * kS, 2 * kS}),
          Chip(0x60, {4 * kS, 8 * kS}), Chip(0xC7, {4 * kS, 8 * kS})},
         kBp0 | kBp1 | kBp2, kBp0 | kBp1 | kBp2 | kTopBottom | kStatusLock, false,
         {1500, 3 * kMs}, {10, 50}, {10 * kMs, 15 * kMs}},
        // ST M25P10 (the first version, before M25P10-A): 1 Mbit in four 32 KiB
        // sectors, 128-byte pages, no JEDEC ID; 0xAB answers the signature 0x10.
        {"M25P10", 0x20, 0x0010, kNoId, kNoId, Id({0x10}), kNoId,
         128 * kKiB, 128, 0,
         {Block(0xD8, 32 * kKiB, {1 * kS, 3 * kS}), Chip(0xC7, {2 * kS, 6 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1400, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // ST M25P10-A: four 32 KiB sectors, 256-byte pages, a JEDEC ID.
        {"M25P10-A", 0x20, 0x2011, Id({0x20, 0x20, 0x11}), kNoId, Id({0x10}), kNoId,
         128 * kKiB, 256, 0,
         {Block(0xD8, 32 * kKiB, {600 * kMs, 3 * kS}), Chip(0xC7, {1 * kS, 3 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1400, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // ST M25P20: four 64 KiB sectors.
        {"M25P20", 0x20, 0x2012, Id({0x20, 0x20, 0x12}), kNoId, Id({0x11}), kNoId,
         256 * kKiB, 256, 0,
         {Block(0xD8, 64 * kKiB, {600 * kMs, 3 * kS}), Chip(0xC7, {2 * kS, 6 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1400, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // Tenx ICE25P05: the M25P05's geometry and commands (two 32 KiB
        // sectors, 128-byte pages); identified, as Atmel parts are, by 0x15.
        {"ICE25P05", 0x5E, 0x0001, kNoId, kNoId, kNoId, Id({0x5E, 0x01}),
         64 * kKiB, 128, 0,
         {Block(0xD8, 32 * kKiB, {1 * kS, 3 * kS}), Chip(0xC7, {1 * kS, 3 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1400, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // Atmel AT25F512: two 32 KiB sectors erased by 0x52, 0x62 erases the chip,
        // 128-byte pages; 0x15 answers the manufacturer and device codes.
        {"AT25F512", 0x1F, 0x0065, kNoId, kNoId, kNoId, Id({0x1F, 0x65}),
         64 * kKiB, 128, 0,
         {Block(0x52, 32 * kKiB, {1100 * kMs, 2 * kS}), Chip(0x62, {2200 * kMs, 4 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {2500, 5 * kMs}, {10, 50}, {10 * kMs, 20 * kMs}},
        // Atmel AT25F2048: four 64 KiB sectors, 256-byte pages.
        {"AT25F2048", 0x1F, 0x0063, kNoId, kNoId, kNoId, Id({0x1F, 0x63}),
         256 * kKiB, 256, 0,
         {Block(0x52, 64 * kKiB, {1100 * kMs, 2 * kS}), Chip(0x62, {4 * kS, 8 * kS})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {2500, 5 * kMs}, {10, 50}, {10 * kMs, 20 * kMs}},
    };
    // clang-format on
}

std::vector<SimFlashPart> PmcSstIssiParts()
{
    // clang-format off
    return {
        // PMC Pm25LV512: 4 KiB sectors (0xD7), 32 KiB blocks; 0xAB answers the
        // manufacturer code, then the device code.
        {"Pm25LV512", 0x9D, 0x007B, kNoId, kNoId, Id({0x9D, 0x7B}), kNoId,
         64 * kKiB, 256, 0,
         {Block(0xD7, 4 * kKiB, {40 * kMs, 100 * kMs}), Block(0xD8, 32 * kKiB, {40 * kMs, 100 * kMs}),
          Chip(0xC7, {40 * kMs, 100 * kMs})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1500, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // PMC Pm25LV020: 4 KiB sectors (0xD7), 64 KiB blocks; a JEDEC ID under
        // the continuation code.
        {"Pm25LV020", 0x7F, 0x9D7D, Id({0x7F, 0x9D, 0x7D}), kNoId, Id({0x9D, 0x7D}), kNoId,
         256 * kKiB, 256, 0,
         {Block(0xD7, 4 * kKiB, {40 * kMs, 100 * kMs}), Block(0xD8, 64 * kKiB, {40 * kMs, 100 * kMs}),
          Chip(0xC7, {40 * kMs, 100 * kMs})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {1500, 5 * kMs}, {10, 50}, {5 * kMs, 15 * kMs}},
        // SST25VF010A: no JEDEC ID; 0x90 and 0xAB answer BF 49. Programs one byte
        // with 0x02 or a run with byte auto-address-increment (0xAF).
        {"SST25VF010A", 0xBF, 0x0049, kNoId, Id({0xBF, 0x49}), Id({0xBF, 0x49}), kNoId,
         128 * kKiB, 1, 0xAF,
         {Sector4K(0x20, {18 * kMs, 25 * kMs}), Block(0x52, 32 * kKiB, {18 * kMs, 25 * kMs}),
          Chip(0x60, {70 * kMs, 100 * kMs})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {14, 20}, {14, 20}, {10 * kMs, 15 * kMs}},
        // SST25VF020B: word auto-address-increment (0xAD), 4, 32 and 64 KiB erases.
        {"SST25VF020B", 0xBF, 0x258C, Id({0xBF, 0x25, 0x8C}), Id({0xBF, 0x8C}), Id({0xBF, 0x8C}), kNoId,
         256 * kKiB, 1, 0xAD,
         {Sector4K(0x20, {18 * kMs, 25 * kMs}), Block(0x52, 32 * kKiB, {18 * kMs, 25 * kMs}),
          Block(0xD8, 64 * kKiB, {18 * kMs, 25 * kMs}), Chip(0x60, {35 * kMs, 50 * kMs}),
          Chip(0xC7, {35 * kMs, 50 * kMs})},
         kBp0 | kBp1, kBp0 | kBp1 | kStatusLock, false,
         {7, 10}, {7, 10}, {10 * kMs, 15 * kMs}},
        // SST26WF080B: 4 KiB sectors; 0xD8 erases 64 KiB blocks, 32 and 8 KiB
        // ones at both ends. Block protection sits in its own register, which
        // 0x98 clears; the status register has no protect bits.
        {"SST26WF080B", 0xBF, 0x2658, Id({0xBF, 0x26, 0x58}), kNoId, kNoId, kNoId,
         1 * kMiB, 256, 0,
         {Sector4K(0x20, {18 * kMs, 25 * kMs}), {0xD8, 64 * kKiB, {18 * kMs, 25 * kMs}, true},
          Chip(0xC7, {35 * kMs, 50 * kMs})},
         0, 0, true,
         {500, 1500}, {10, 50}, {10 * kMs, 15 * kMs}},
        // ISSI IS25LP080D: 8 Mbit, 4 KiB sectors (0x20 or 0xD7), 32 and 64 KiB
        // blocks; four block-protect bits BP0-BP3, QE and SRWD above them.
        {"IS25LP080D", 0x9D, 0x6014, Id({0x9D, 0x60, 0x14}), Id({0x9D, 0x13}), Id({0x13}), kNoId,
         1 * kMiB, 256, 0,
         {Sector4K(0x20, {70 * kMs, 300 * kMs}), Sector4K(0xD7, {70 * kMs, 300 * kMs}),
          Block(0x52, 32 * kKiB, {100 * kMs, 500 * kMs}), Block(0xD8, 64 * kKiB, {150 * kMs, 1 * kS}),
          Chip(0x60, {1 * kS, 5 * kS}), Chip(0xC7, {1 * kS, 5 * kS})},
         kBp0 | kBp1 | kBp2 | kBp3, kBp0 | kBp1 | kBp2 | kBp3 | kQuadEnable | kStatusLock, false,
         {200, 800}, {10, 50}, {2 * kMs, 15 * kMs}},
    };
    // clang-format on
}

const std::vector<SimFlashPart>& Parts()
{
    static const std::vector<SimFlashPart> parts = []
    {
        std::vector<SimFlashPart> all;
        for (const std::vector<SimFlashPart>& group :
             {MacronixWinbondGigaDeviceParts(), SpansionFidelixStTenxAtmelParts(), PmcSstIssiParts()})
        {
            all.insert(all.end(), group.begin(), group.end());
        }
        return all;
    }();
    return parts;
}
} // namespace

std::span<const SimFlashPart> GetSimFlashParts()
{
    return Parts();
}

const SimFlashPart* FindSimFlashPart(uint8_t manufacturerId, uint16_t deviceId)
{
    for (const SimFlashPart& part : Parts())
    {
        if (part.manufacturerId == manufacturerId && part.deviceId == deviceId)
        {
            return &part;
        }
    }
    return nullptr;
}

const SimFlashErase* FindSimFlashErase(const SimFlashPart& part, uint8_t opcode)
{
    for (const SimFlashErase& erase : part.erases)
    {
        if (erase.opcode == opcode)
        {
            return &erase;
        }
    }
    return nullptr;
}

std::pair<uint32_t, uint32_t> SimFlashEraseRange(const SimFlashPart& part,
                                                 const SimFlashErase& erase, uint32_t address)
{
    const uint32_t size = part.sizeBytes;
    if (erase.bytes == 0)
    {
        return {0, size};
    }
    uint32_t bytes = erase.bytes;
    if (erase.smallBlocksAtTheEnds)
    {
        const uint32_t fromTop = size - 1 - address;
        const uint32_t nearEnd = std::min(address, fromTop);
        if (nearEnd < 32 * kKiB)
        {
            bytes = 8 * kKiB;
        }
        else if (nearEnd < 64 * kKiB)
        {
            bytes = 32 * kKiB;
        }
    }
    const uint32_t start = address / bytes * bytes;
    return {start, std::min(bytes, size - start)};
}
