// The built-in part catalogue held against the simulated parts, whose facts
// come from the makers' datasheets: a row with the wrong size, page or erase
// opcode fails here, where on a board it would wipe blocks the write did not
// mean to touch.

#include "eeprom/EEPROMPartTable.h"
#include "FlashRig.h"
#include "OnePartDatabase.h"
#include "eeprom/IEEPROMDatabase.h"
#include "sim/SimFlashParts.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{
const EEPROMPartRecord* FindRow(uint8_t manufacturerId, uint16_t deviceId)
{
    for (const EEPROMPartRecord& row : GetBuiltInEEPROMParts())
    {
        if (row.ManufacturerID == manufacturerId && row.DeviceID == deviceId)
        {
            return &row;
        }
    }
    return nullptr;
}

// The one simulated part the catalogue leaves out (ISSI IS25LP080D), so that
// a part described in a settings file can be shown being added and used.
bool IsPartLeftOutOfTheCatalogue(const SimFlashPart& part)
{
    return part.manufacturerId == 0x9D && part.deviceId == 0x6014;
}

std::vector<SimFlashPart> CataloguedSimParts()
{
    std::vector<SimFlashPart> parts;
    for (const SimFlashPart& part : GetSimFlashParts())
    {
        if (!IsPartLeftOutOfTheCatalogue(part))
        {
            parts.push_back(part);
        }
    }
    return parts;
}

// The bytes one command of the opcode erases on the part: 0 when the opcode is
// no erase command of the part, the whole part for a chip erase.
uint32_t ErasedBytes(const SimFlashPart& part, uint8_t opcode)
{
    const SimFlashErase* erase = FindSimFlashErase(part, opcode);
    if (erase == nullptr)
    {
        return 0;
    }
    return erase->bytes == 0 ? part.sizeBytes : erase->bytes;
}
} // namespace

TEST(EEPROMPartTable, OnlyThePartLeftOutIsMissing)
{
    size_t leftOut = 0;
    for (const SimFlashPart& part : GetSimFlashParts())
    {
        SCOPED_TRACE(part.name);
        const bool catalogued = FindRow(part.manufacturerId, part.deviceId) != nullptr;
        EXPECT_NE(catalogued, IsPartLeftOutOfTheCatalogue(part));
        leftOut += catalogued ? 0 : 1;
    }
    EXPECT_EQ(leftOut, 1u);
}

TEST(EEPROMPartTable, RowsAgreeWithTheDatasheetsOfTheSimulatedParts)
{
    for (const SimFlashPart& part : CataloguedSimParts())
    {
        SCOPED_TRACE(part.name);
        const EEPROMPartRecord* row = FindRow(part.manufacturerId, part.deviceId);
        ASSERT_NE(row, nullptr) << "the catalogue lacks a simulated part";
        const CEEPROMType type(*row);
        EXPECT_TRUE(type.SerialPart);
        EXPECT_EQ(type.GetSizeInBytes(), part.sizeBytes);
        if (part.autoIncrementOpcode == 0)
        {
            EXPECT_EQ(type.BytesPerPage, part.pageBytes);
        }
        else
        {
            // Parts without pages are written in runs of auto-address-increment
            // steps; the row's page is the length of one run.
            const uint32_t step = part.autoIncrementOpcode == 0xAD ? 2 : 1;
            EXPECT_EQ(type.BytesPerPage % step, 0u);
        }
        EXPECT_EQ(ErasedBytes(part, type.BulkEraseCommand), type.KbytesPerBlock * 1024u)
            << "block erase 0x" << std::hex << int{type.BulkEraseCommand};
        EXPECT_EQ(ErasedBytes(part, type.ChipEraseCommand), part.sizeBytes)
            << "chip erase 0x" << std::hex << int{type.ChipEraseCommand};
    }
}

TEST(EEPROMPartTable, EachSimulatedPartIsIdentifiedAsItsRow)
{
    for (const SimFlashPart& part : CataloguedSimParts())
    {
        SCOPED_TRACE(part.name);
        FlashRig flash(part.manufacturerId, part.deviceId);
        CRefPtr<IEEPROM> eeprom = flash.Open();
        ASSERT_TRUE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
        EXPECT_EQ(eeprom->GetType().ManufacturerID, part.manufacturerId);
        EXPECT_EQ(eeprom->GetType().DeviceID, part.deviceId);
    }
}

// A row whose block erase opcode erases more than the row's block: writing one
// block wipes its neighbours, and the write still verifies what it wrote.
TEST(EEPROMPartTable, AWrongEraseOpcodeWipesTheNeighbouringBlocks)
{
    constexpr uint32_t kBlock = 0x1000;
    constexpr uint32_t k64K = 0x10000;
    struct Case
    {
        const char* name;
        uint8_t blockErase;
        bool neighboursKept;
    };
    for (const Case& c :
         {Case{"the 4 KiB sector erase", 0x20, true}, Case{"the 64 KiB block erase", 0xD8, false}})
    {
        SCOPED_TRACE(c.name);
        FlashRig flash(0xEF, 0x3013); // W25X40: 4 KiB sectors, 64 KiB blocks
        CEEPROMType part = GetEEPROMDatabase()->GetEEPROMType(0xEF, 0x3013);
        ASSERT_EQ(part.KbytesPerBlock, 4);
        part.BulkEraseCommand = c.blockErase;
        CRefPtr<IEEPROMDatabase> database(new COnePartDatabase(part));
        const std::vector<uint8_t> before = RandomBytes(flash.contents->Size(), 1);
        flash.Fill(before);
        std::vector<uint8_t> wanted = before;
        const std::vector<uint8_t> fresh = RandomBytes(kBlock, 2);
        std::copy(fresh.begin(), fresh.end(), wanted.begin() + kBlock);
        CRefPtr<IROMImage> image = ImageOf(wanted);
        CRefPtr<IEEPROM> eeprom = flash.Open();
        ASSERT_TRUE(eeprom->Identify(database.get(), flash.log));

        eeprom->WriteImage(nullptr, 0, image.get(), 0, 2 * k64K, true, true, flash.log);
        const std::vector<uint8_t> after = flash.Bytes();
        EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), after.begin() + kBlock));
        EXPECT_EQ(std::equal(before.begin(), before.begin() + kBlock, after.begin()),
                  c.neighboursKept);
        EXPECT_EQ(std::all_of(after.begin() + 2 * kBlock, after.begin() + k64K,
                              [](uint8_t b) { return b == 0xFF; }),
                  !c.neighboursKept);
        // The next 64 KiB block is never touched.
        EXPECT_TRUE(std::equal(before.begin() + k64K, before.end(), after.begin() + k64K));
    }
}

// The row's protect mask is what a lock writes and what the driver tests
// before an erase. Against every block-protect bit the simulated part has: a
// chip protected by that bit alone is seen as protected (or, on SST parts,
// unprotected first), never erased in silence and failed at the verify; a
// lock sets every bit and an unlock clears them all.
TEST(EEPROMPartTable, EveryBlockProtectBitOfAPartIsSeen)
{
    const std::string kProtected =
        "Software write protection enabled, unable to erase EEPROM pages.";
    for (const SimFlashPart& part : CataloguedSimParts())
    {
        SCOPED_TRACE(part.name);
        const EEPROMPartRecord* row = FindRow(part.manufacturerId, part.deviceId);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->WriteProtectMask, part.protectBits);
        const uint32_t block = row->KbytesPerBlock * 1024u;
        for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1))
        {
            if ((part.protectBits & bit) == 0)
            {
                continue;
            }
            SCOPED_TRACE(static_cast<int>(bit));
            FlashRig flash(part.manufacturerId, part.deviceId);
            flash.Fill(RandomBytes(part.sizeBytes, bit));
            flash.chip->SetStatus(bit);
            const std::vector<uint8_t> wanted = RandomBytes(block, 2);
            CRefPtr<IROMImage> image = ImageOf(wanted);
            CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

            const std::string error = testkit::ErrorOf(
                [&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, block, true, true, flash.log); });
            if (part.manufacturerId == 0xBF)
            {
                EXPECT_EQ(error, "(no error)");
                EXPECT_EQ(flash.contents->Read(0, block), wanted);
            }
            else
            {
                EXPECT_EQ(error, kProtected);
            }

            eeprom->SetProtection(true, flash.log);
            EXPECT_EQ(flash.chip->Status() & part.protectBits, part.protectBits);
            eeprom->SetProtection(false, flash.log);
            EXPECT_EQ(flash.chip->Status() & part.protectBits, 0);
        }
    }
}
