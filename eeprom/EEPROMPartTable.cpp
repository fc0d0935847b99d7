// The built-in EEPROM parts: JEDEC IDs, geometry, opcodes and protection bits.

#include "eeprom/EEPROMPartTable.h"

#include <array>

namespace
{
// ManufacturerID, DeviceID, BytesPerPage, KbytesPerBlock, EraseReqBeforeChipSectorWrite,
// TvBlockUpdateSupported, SerialPart, ManufacturerCodeName, Voltage, PartName,
// SizeDepthInKbit, SizeWidthBits, ChipEraseCommand, BulkEraseCommand, WriteProtectMask,
// WriteProtectOff, ChipFeatureFlag
//
// The drivers erase block by block with BulkEraseCommand, so on a serial part
// that opcode must erase exactly KbytesPerBlock: one that erases more wipes
// the neighbouring blocks of every block written. FM25F02, FM25F04, S25FL208K
// and SST26WF080B erase 4 KiB with 0x20; their 0xD8 erases 64 KiB blocks.
//
// WriteProtectMask must hold every block-protect bit of the part's status
// register: it is what a lock writes and what the drivers test before an
// erase or program. A mask that misses a bit lets a lock leave part of the
// chip open, and lets an erase run into a block a missed bit protects, which
// the part silently skips. W25X10A has BP0-BP1 (0x0C); W25X40A, W25X80A,
// W25Q80BV and MX25L4005A have BP0-BP2 (0x1C).
// clang-format off
constexpr std::array<EEPROMPartRecord, 95> kParts = {{
    {0xBF, 0x0042, 1, 4, true, false, true, "SST", "3.0-3.6", "SST45VF010", 1024, 1, 0x60, 0x20, 0x0C, false, 0},
    {0x47, 0x8747, 32, 0, false, false, true, "uChip", "1.8-5.5", "25AA320A", 4, 8, 0x00, 0x00, 0x0C, false, 0},
    {0x1F, 0x0065, 128, 32, true, false, true, "Atmel", "2.7-3.6", "AT25F512", 512, 1, 0x62, 0x52, 0x0C, false, 0},
    {0x20, 0x0005, 128, 32, true, false, true, "ST", "2.7-3.6", "M25P05", 512, 1, 0xC7, 0xD8, 0x0C, false, 0},
    {0x20, 0x0010, 128, 32, true, false, true, "ST", "2.7-3.6", "M25P10", 1024, 1, 0xC7, 0xD8, 0x0C, false, 0},
    {0x5E, 0x0001, 128, 32, true, false, true, "Tenx", "2.7-3.6", "ICE25P05", 512, 1, 0xC7, 0xD8, 0x0C, false, 0},
    {0xBF, 0x0048, 256, 4, true, false, true, "SST", "2.7-3.6", "SST25VF512", 512, 1, 0x60, 0x20, 0x0C, true, 0},
    {0xBF, 0x0049, 256, 4, true, false, true, "SST", "2.7-3.6", "SST25VF010", 1024, 1, 0x60, 0x20, 0x0C, true, 0},
    {0xBF, 0x0043, 256, 4, true, false, true, "SST", "3.0-3.6", "SST25LF020", 2048, 1, 0x60, 0x20, 0x0C, true, 0},
    {0xBF, 0x0044, 256, 4, true, false, true, "SST", "3.0-3.6", "SST25LF040", 4096, 1, 0x60, 0x20, 0x0C, true, 0},
    {0xBF, 0x258C, 256, 4, true, false, true, "SST", "2.7-3.6", "SST25VF020B", 2048, 1, 0x60, 0x20, 0x0C, true, 1},
    {0xBF, 0x2658, 256, 4, true, false, true, "uChip", "1.65-1.95", "SST26WF080B", 8192, 1, 0xC7, 0x20, 0x00, true, 2},
    {0x1F, 0x6601, 256, 4, true, false, true, "Atmel", "2.7-3.6", "AT25FS010", 1024, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xC2, 0x2010, 256, 4, true, false, true, "MX", "2.7-3.6", "MX25L512", 512, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xC2, 0x2011, 256, 4, true, false, true, "MX", "2.7-3.6", "MX25L1005", 1024, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xC2, 0x2012, 256, 4, true, false, true, "MX", "2.7-3.6", "MX25L2005", 2048, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xC2, 0x2013, 256, 4, true, false, true, "MX", "2.7-3.6", "MX25L4005A", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC2, 0x2014, 256, 4, true, false, true, "MX", "2.7-3.6", "MX25L8073E", 8192, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xC8, 0x6012, 256, 4, true, false, true, "GD", "1.65-2.00", "GD25LQ20B", 2048, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xEF, 0x3012, 256, 4, true, false, true, "WBond", "2.7-3.6", "W25X20A", 2048, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xEF, 0x3010, 256, 4, true, false, true, "WBond", "2.3-3.6", "W25X05CL", 512, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xEF, 0x4014, 256, 4, true, false, true, "WBond", "2.3-3.6", "W25Q80BV", 8192, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x1F, 0x4300, 256, 4, true, false, true, "Atmel", "2.3-3.6", "AT25DF021", 2048, 1, 0xC7, 0x20, 0x3C, true, 0},
    {0x1F, 0x4401, 256, 4, true, false, true, "Atmel", "2.3-3.6", "AT25DF041", 4096, 1, 0xC7, 0x20, 0x3C, true, 0},
    {0x1F, 0x8401, 256, 4, true, false, true, "Atmel", "2.3-3.6", "AT25SF041", 4096, 1, 0xC7, 0x20, 0x3C, true, 0},
    {0x1F, 0x4301, 256, 4, true, false, true, "Adest", "1.65-3.6", "AT25DF021A", 2048, 1, 0xC7, 0x20, 0x0C, true, 0},
    {0x1F, 0x4402, 256, 4, true, false, true, "Adest", "1.65-3.6", "AT25DF041B", 4096, 1, 0xC7, 0x20, 0x0C, true, 0},
    {0x1F, 0x4502, 256, 4, true, false, true, "Adest", "1.65-1.95", "AT25DL081", 8192, 1, 0xC7, 0x20, 0x0C, true, 0},
    {0x37, 0x3010, 256, 4, true, false, true, "AMIC", "2.7-3.6", "A25L512", 512, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x37, 0x3011, 256, 4, true, false, true, "AMIC", "2.7-3.6", "A25L010", 1024, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x37, 0x3012, 256, 4, true, false, true, "AMIC", "2.7-3.6", "A25L020", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x37, 0x3013, 256, 4, true, false, true, "AMIC", "2.7-3.6", "A25L040", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC2, 0x2532, 256, 4, true, false, true, "MX", "1.65-2.0", "MX25U2033E", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x4010, 256, 4, true, false, true, "GD", "2.7-3.6", "GD25Q512", 512, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x4011, 256, 4, true, false, true, "GD", "2.7-3.6", "GD25Q10", 1024, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x4012, 256, 4, true, false, true, "GD", "2.7-3.6", "GD25Q20", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x4013, 256, 4, true, false, true, "GD", "2.7-3.6", "GD25Q40", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x6013, 256, 4, true, false, true, "GD", "1.65-2.00", "GD25LQ40B", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC8, 0x6014, 256, 4, true, false, true, "GD", "1.65-2.00", "GD25LQ80B", 8192, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xEF, 0x6012, 256, 4, true, false, true, "WBond", "1.65-1.95", "W25Q20EW", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xEF, 0x6013, 256, 4, true, false, true, "WBond", "1.65-1.95", "W25Q40EW", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xEF, 0x6014, 256, 4, true, false, true, "WBond", "1.65-1.95", "W25Q80EW", 8192, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x9D, 0x1152, 256, 4, true, false, true, "ISSI", "1.65-1.95", "IS25WQ020", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x9D, 0x1253, 256, 4, true, false, true, "ISSI", "1.65-1.95", "IS25WQ040", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xC2, 0x2533, 256, 4, true, false, true, "MX", "1.65-2.0", "MX25U4033E", 4096, 1, 0xC7, 0x20, 0x3C, false, 0},
    {0xC2, 0x2534, 256, 4, true, false, true, "MX", "1.65-2.0", "MX25U8033E", 8192, 1, 0xC7, 0x20, 0x3C, false, 0},
    {0xEF, 0x3011, 256, 4, true, false, true, "WBond", "2.7-3.6", "W25X10A", 1024, 1, 0xC7, 0x20, 0x0C, false, 0},
    {0xEF, 0x3013, 256, 4, true, false, true, "WBond", "2.7-3.6", "W25X40A", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xEF, 0x3014, 256, 4, true, false, true, "WBond", "2.7-3.6", "W25X80A", 8192, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x9D, 0x007B, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LV512", 512, 1, 0xC7, 0xD7, 0x0C, false, 0},
    {0x9D, 0x007C, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LV010", 1024, 1, 0xC7, 0xD7, 0x0C, false, 0},
    {0x7F, 0x9D7D, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LV020", 2048, 1, 0xC7, 0xD7, 0x0C, false, 0},
    {0x7F, 0x9D20, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LD512", 512, 1, 0xC7, 0xD7, 0x0C, false, 0},
    {0x7F, 0x9D7E, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LV040", 4096, 1, 0xC7, 0xD7, 0x1C, false, 0},
    {0x7F, 0x9D21, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LD010", 1024, 1, 0xC7, 0xD7, 0x1C, false, 0},
    {0x7F, 0x9D22, 256, 4, true, false, true, "PMC", "2.7-3.6", "Pm25LD020", 2048, 1, 0xC7, 0xD7, 0x1C, false, 0},
    {0x7F, 0x9D42, 256, 4, true, false, true, "PMC", "2.3-3.6", "Pm25LQ020", 2048, 1, 0xC7, 0xD7, 0x1C, false, 0},
    {0x7F, 0x9D43, 256, 4, true, false, true, "PMC", "2.3-3.6", "Pm25LQ040", 4096, 1, 0xC7, 0xD7, 0x1C, false, 0},
    {0xA1, 0x3112, 256, 4, true, false, true, "FM", "2.7-3.6", "FM25F02", 2048, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0xA1, 0x3113, 256, 4, true, false, true, "FM", "2.7-3.6", "FM25F04", 4096, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x01, 0x4014, 256, 4, true, false, true, "CY", "2.7-3.6", "S25FL208K", 8192, 1, 0xC7, 0x20, 0x1C, false, 0},
    {0x1F, 0x0060, 256, 32, true, false, true, "Atmel", "2.7-3.6", "AT25F1024", 1024, 1, 0x62, 0x52, 0x0C, false, 0},
    {0x1F, 0x0040, 256, 32, true, false, true, "Atmel", "2.7-3.6", "AT25F1024", 1024, 1, 0x62, 0x52, 0x0C, false, 0},
    {0x20, 0x2011, 256, 32, true, false, true, "Num", "2.3-3.6", "M25P10-A", 1024, 1, 0xC7, 0xD8, 0x0C, false, 0},
    {0x1F, 0x0063, 256, 64, true, false, true, "Atmel", "2.7-3.6", "AT25F2048", 2048, 1, 0x62, 0x52, 0x0C, false, 0},
    {0x20, 0x2012, 256, 64, true, false, true, "Num", "2.3-3.6", "M25P20", 2048, 1, 0xC7, 0xD8, 0x0C, false, 0},
    {0x1F, 0x0003, 1, 0, true, false, false, "Atmel", "5.0,3.0,2.7", "AT49F512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x0005, 1, 0, true, false, false, "Atmel", "5.0", "AT49F001", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x0004, 1, 0, true, false, false, "Atmel", "5.0", "AT49F001T", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x0087, 1, 0, true, false, false, "Atmel", "5.0", "AT49F010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x0017, 1, 0, true, false, false, "Atmel", "2.7-3.6", "AT49BV/LV010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xC2, 0x0018, 1, 0, true, false, false, "MX", "5.0", "MX29F001T", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xC2, 0x0019, 1, 0, true, false, false, "MX", "5.0", "MX29F001B", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x20, 0x0027, 1, 0, true, false, false, "ST", "2.7-3.6", "M29W512B", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x00D4, 1, 4, true, true, false, "SST", "2.7-3.6", "SST39VF512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x9D, 0x001B, 1, 4, true, true, false, "PMC", "3.0-3.6", "Pm39LV512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x9D, 0x001C, 1, 4, true, true, false, "PMC", "3.0-3.6", "Pm39LV010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x00D5, 1, 4, true, false, false, "SST", "2.7-3.6", "SST39VF010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x00B5, 1, 4, true, false, false, "SST", "5.0", "SST39SF010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xDA, 0x0031, 1, 4, true, false, false, "WBond", "3.3", "W39L010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xDA, 0x0038, 1, 4, true, false, false, "WBond", "3.3", "W39L512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x01, 0x006E, 1, 16, true, false, false, "AMD", "2.7v", "AM29LV010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x01, 0x00ED, 1, 16, true, false, false, "AMD", "2.7v", "AM29LV001T", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x01, 0x006D, 1, 16, true, false, false, "AMD", "2.7v", "AM29LV001B", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x49, 0x016B, 8, 128, true, false, false, "XLNX", "9.5,8.5,2.0,1.7", "XCF128XFTG64C", 8192, 16, 0x00, 0x20, 0x00, false, 0},
    {0xBF, 0x005D, 128, 0, false, false, false, "SST", "5.0", "SST29EE512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x0007, 128, 0, false, false, false, "SST", "5.0", "SST29EE010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x0008, 128, 0, false, false, false, "SST", "2.9,2.7", "SST29LE/VE010", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x005D, 128, 0, false, false, false, "Atmel", "5.0", "AT29C512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x00D5, 128, 0, false, false, false, "Atmel", "5.0", "AT29C010A", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x0035, 128, 0, false, false, false, "Atmel", "3.0", "AT29LV/BV010A", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xDA, 0x00C1, 128, 0, false, false, false, "WBond", "5.0", "W29C011A", 128, 8, 0x10, 0x30, 0x00, false, 0},
    {0xBF, 0x003D, 128, 0, false, true, false, "SST", "2.9,2.7", "SST29LE/VE512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0x1F, 0x003D, 128, 0, false, true, false, "Atmel", "3.0", "AT29LV512", 64, 8, 0x10, 0x30, 0x00, false, 0},
    {0xDA, 0x00C8, 128, 0, true, false, false, "WBond", "5.0", "W29EE512", 64, 8, 0x10, 0x30, 0x00, false, 0},
}};
// clang-format on
} // namespace

std::span<const EEPROMPartRecord> GetBuiltInEEPROMParts()
{
    return kParts;
}
