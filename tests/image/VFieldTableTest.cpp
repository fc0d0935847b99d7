// The VField table: adding and validating records, reading a field through a
// device's registers, and the stream form with its log listing.

#include "core/Log.h"
#include "hw/device/DeviceBaseImpl.h"
#include "image/IVFieldTable.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::ErrorOf;

namespace
{
// A device whose registers are a map; it records every access in order.
class CFakeRegisterDevice : public CDeviceBaseImpl
{
public:
    CFakeRegisterDevice() : CDeviceBaseImpl(nullptr, 9) {}

    uint8_t Read8(uint32_t offset) override { return static_cast<uint8_t>(Read(offset, 8)); }
    uint16_t Read16(uint32_t offset) override { return static_cast<uint16_t>(Read(offset, 16)); }
    uint32_t Read32(uint32_t offset) override { return Read(offset, 32); }
    void Write8(uint32_t offset, uint8_t value) override { Write(offset, value, 8); }
    void Write16(uint32_t offset, uint16_t value) override { Write(offset, value, 16); }
    void Write32(uint32_t offset, uint32_t value) override { Write(offset, value, 32); }

    // EEPROM access is not used here.
    void EnableROMAccess() override {}
    void RestoreROMAccess() override {}
    bool IsROMAccessEnabled() override { return false; }
    bool IsDebugPortEnabled() override { return false; }
    uint32_t GetROMType(bool) override { return 0; }
    bool IsROMTypeZero(bool) override { return true; }
    uint32_t ReadROMControl() override { return 0; }
    void WriteROMControl(uint32_t) override {}
    void IdleROMControl() override {}
    uint8_t ReadROMByte(int32_t) override { return 0xFF; }
    void WriteROMByte(int32_t, uint8_t) override {}
    uint8_t ReadROMWindowByte(uint32_t) override { return 0xFF; }

    std::map<uint32_t, uint32_t> registers;
    std::vector<std::string> accesses;

private:
    // "R32:4": the kind, the width and the offset of one register access.
    static std::string Access(char kind, int width, uint32_t offset)
    {
        std::string text(1, kind);
        text += std::to_string(width);
        text += ':';
        text += std::to_string(offset);
        return text;
    }
    uint32_t Read(uint32_t offset, int width)
    {
        accesses.push_back(Access('R', width, offset));
        return registers[offset];
    }
    void Write(uint32_t offset, uint32_t value, int width)
    {
        accesses.push_back(Access('W', width, offset) + "=" + std::to_string(value));
        registers[offset] = value;
    }
};

VFieldRegisterRecord Register(uint8_t type, uint8_t readWidth, uint32_t address,
                              uint8_t indexWidth = 0, uint32_t indexAddress = 0,
                              uint32_t indexValue = 0)
{
    VFieldRegisterRecord r{};
    r[0] = static_cast<uint8_t>(type << 5 | readWidth << 3 | indexWidth << 1);
    for (int b = 0; b < 4; ++b)
    {
        r[1 + b] = static_cast<uint8_t>(address >> (8 * b));
        r[5 + b] = static_cast<uint8_t>(indexAddress >> (8 * b));
        r[9 + b] = static_cast<uint8_t>(indexValue >> (8 * b));
    }
    return r;
}

VFieldRecord Field(uint8_t id, uint8_t lowest, uint8_t highest, uint8_t registerIndex)
{
    const uint16_t word = static_cast<uint16_t>(lowest | highest << 5 | registerIndex << 10);
    return {id, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
}
} // namespace

TEST(VFieldTableTest, AddRegisterKeepsOneCopyOfEqualRecords)
{
    CRefPtr<IVFieldTable> table = IVFieldTable::Create();
    EXPECT_TRUE(table->IsEmpty());
    EXPECT_EQ(table->AddRegister(Register(1, 2, 0x100)), 0u);
    EXPECT_EQ(table->AddRegister(Register(1, 2, 0x104)), 1u);
    EXPECT_EQ(table->AddRegister(Register(1, 2, 0x100)), 0u);
    EXPECT_EQ(table->GetRegisterCount(), 2u);
    EXPECT_EQ(table->AddField(Field(1, 0, 3, 0)), 1u);
    EXPECT_EQ(table->AddField(Field(1, 4, 7, 1)), 2u);
    EXPECT_TRUE(table->HasField(1));
    EXPECT_FALSE(table->HasField(2));
    EXPECT_EQ(table->GetRegister(5), VFieldRegisterRecord{});
    EXPECT_EQ(table->GetField(1), Field(1, 4, 7, 1));
    table->Clear();
    EXPECT_TRUE(table->IsEmpty());
}

TEST(VFieldTableTest, FieldValuesJoinTheirBitRanges)
{
    struct Case
    {
        const char* name;
        std::vector<VFieldRecord> fields;
        uint32_t expected;
    };
    // Register 0 reads 0x12345678 (32-bit), register 1 reads 0xAB (8-bit).
    const Case cases[] = {
        {"bits 4-7", {Field(1, 4, 7, 1)}, 0xA},
        {"low nibble then high nibble", {Field(1, 0, 3, 1), Field(1, 4, 7, 1)}, 0xBA},
        {"a full register replaces what came before",
         {Field(1, 0, 7, 1), Field(1, 0, 31, 0)},
         0x12345678},
        {"full register first, then a byte", {Field(1, 0, 31, 0), Field(1, 0, 7, 1)}, 0x345678AB},
        {"other IDs are skipped", {Field(2, 0, 31, 0), Field(1, 8, 15, 0)}, 0x56},
        {"no field with the ID", {Field(2, 0, 7, 1)}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IVFieldTable> table = IVFieldTable::Create();
        table->AddRegister(Register(1, 2, 0x1000));
        table->AddRegister(Register(1, 0, 0x2000));
        for (const VFieldRecord& f : c.fields)
        {
            table->AddField(f);
        }
        CRefPtr<CFakeRegisterDevice> device(new CFakeRegisterDevice());
        device->registers = {{0x1000, 0x12345678}, {0x2000, 0xAB}};
        EXPECT_TRUE(table->Validate());
        EXPECT_EQ(table->ReadFieldValue(device.get(), 1), c.expected);
    }
}

TEST(VFieldTableTest, IndexedRegisterWritesItsIndexFirst)
{
    CRefPtr<IVFieldTable> table = IVFieldTable::Create();
    table->AddRegister(Register(2, 1, 0x304, 0, 0x300, 0x5A));
    table->AddField(Field(3, 0, 15, 0));
    CRefPtr<CFakeRegisterDevice> device(new CFakeRegisterDevice());
    device->registers[0x304] = 0xBEEF;
    EXPECT_EQ(table->ReadFieldValue(device.get(), 3), 0xBEEFu);
    EXPECT_EQ(device->accesses, (std::vector<std::string>{"W8:768=90", "R16:772"}));
}

TEST(VFieldTableTest, InvalidRecordsAreRefused)
{
    struct Case
    {
        const char* name;
        VFieldRegisterRecord reg;
        VFieldRecord field;
        const char* readError;
    };
    const Case cases[] = {
        {"register index past the table", Register(1, 2, 0), Field(1, 0, 7, 1),
         "Virtual field register entry index out of range"},
        {"lowest bit above highest", Register(1, 2, 0), Field(1, 9, 8, 0),
         "Virtual field bit range invalid"},
        {"read width 3", Register(1, 3, 0), Field(1, 0, 7, 0),
         "Virtual field register size unsupported"},
        {"index width 3", Register(2, 2, 0, 3), Field(1, 0, 7, 0),
         "Virtual field register size unsupported"},
        {"register type 7", Register(7, 2, 0), Field(1, 0, 7, 0), nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IVFieldTable> table = IVFieldTable::Create();
        table->AddRegister(c.reg);
        table->AddField(c.field);
        EXPECT_FALSE(table->Validate());
        CRefPtr<CFakeRegisterDevice> device(new CFakeRegisterDevice());
        EXPECT_EQ(ErrorOf([&] { table->ReadFieldValue(device.get(), 1); }),
                  c.readError ? c.readError : "Virtual field register type usupported");
    }
}

TEST(VFieldTableTest, StreamFormRoundTripsAndIsListed)
{
    CRefPtr<IVFieldTable> empty = IVFieldTable::Create();
    std::ostringstream emptyBytes;
    EXPECT_EQ(empty->WriteToStream(emptyBytes, nullptr), 6u);
    EXPECT_EQ(emptyBytes.str(), std::string("\x10\x0D\x00\x10\x03\x00", 6));

    CRefPtr<IVFieldTable> table = IVFieldTable::Create();
    table->AddRegister(Register(2, 1, 0x88000, 2, 0x88004, 0x12));
    table->AddField(Field(0x21, 4, 11, 0));
    std::ostringstream bytes;
    CLog log;
    std::ostringstream listing;
    log.AddSink(&listing, 1, 5);
    EXPECT_EQ(table->WriteToStream(bytes, &log), 6u + 13 + 3);
    EXPECT_EQ(listing.str(), "VField Register Table\n"
                             "Version: 0x10\n"
                             "Entry Size: 0x0D\n"
                             "Count: 0x01\n"
                             "Entry[0x00]: 0x2:0x1:0x2:0x00088000:0x00088004:0x00000012\n"
                             "VField Table\n"
                             "Version: 0x10\n"
                             "Entry Size: 0x03\n"
                             "Count: 0x01\n"
                             "Entry[0x00]: 0x21:0x0:0x0B:0x04\n");

    std::istringstream input(bytes.str());
    CRefPtr<IVFieldTable> copy = IVFieldTable::Create();
    copy->ReadFromStream(input, nullptr);
    EXPECT_EQ(copy->GetRegisterCount(), 1u);
    EXPECT_EQ(copy->GetRegister(0), table->GetRegister(0));
    EXPECT_EQ(copy->GetField(0), table->GetField(0));
}

TEST(VFieldTableTest, StreamThatEndsEarlyIsRefused)
{
    CRefPtr<IVFieldTable> table = IVFieldTable::Create();
    table->AddRegister(Register(1, 2, 0x100));
    table->AddField(Field(1, 0, 7, 0));
    std::ostringstream bytes;
    table->WriteToStream(bytes, nullptr);
    const std::string full = bytes.str();
    for (size_t cut : {size_t{2}, size_t{10}, full.size() - 1})
    {
        SCOPED_TRACE(cut);
        std::istringstream input(full.substr(0, cut));
        CRefPtr<IVFieldTable> copy = IVFieldTable::Create();
        EXPECT_EQ(ErrorOf([&] { copy->ReadFromStream(input, nullptr); }),
                  "Error reading VField table from stream");
        EXPECT_TRUE(copy->IsEmpty());
    }
}
