// The microcode's EEPROM and ECID commands: identification, the guard,
// chunked reads and programs, and a round trip through the microcode that
// must leave the chip model holding what was written.

#include "FlashRig.h"
#include "KestrixRig.h"

#include "testkit/ScratchDirectory.h"
#include "testkit/kestrix/KestrixImageBuilder.h"

#include <gtest/gtest.h>

namespace
{
using Arguments = std::vector<std::vector<uint32_t>>;

// The argument words of every command `id` the microcode ran.
Arguments ArgumentsOf(const CSimKestrix& kestrix, uint32_t id, size_t words)
{
    Arguments result;
    for (const CSimKestrix::Command& command : kestrix.Commands())
    {
        if (command.id == id)
        {
            result.emplace_back(command.arguments.begin(), command.arguments.begin() + words);
        }
    }
    return result;
}

// A loader of a file image whose data buffer holds `bufferSize` bytes.
CRefPtr<CKestrixLoader> LoadWithBuffer(KestrixRig& rig, testkit::CScratchDirectory& folder,
                                       uint32_t bufferSize)
{
    KestrixImageSpec spec;
    spec.dataBufferSize = bufferSize;
    KestrixLoadRequest request = rig.Request();
    request.userImage = true;
    request.fileName = folder.WriteBytes("ucode.bin", BuildKestrixImage(spec));
    return CreateKestrixLoader(request);
}

TEST(KestrixEEPROM, IdentifiesThePartAndSendsItsBlock)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    EXPECT_FALSE(loader->IsPartIdentified());
    ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
    EXPECT_EQ(loader->GetEEPROMManufacturerID(), 0xC2);
    EXPECT_EQ(loader->GetEEPROMDeviceID(), 0x2013);
    EXPECT_EQ(loader->GetPartType().PartName, "MX25L4005A");
    const CSimKestrix::Command& esi = rig.kestrix->Commands().back();
    EXPECT_EQ(esi.id, KR_UCODE_CMD_COMMAND_ESI);
    const std::array<uint16_t, 13> words = loader->GetPartType().GetParameterWords();
    EXPECT_EQ(esi.arguments[0], words[0] | uint32_t{words[1]} << 16);
    EXPECT_EQ(esi.arguments[6], words[12] | 0x40010000u);
}

TEST(KestrixEEPROM, FailedIdentificationIsReportedAndSendsNoPartBlock)
{
    SimKestrixConfig config;
    config.errorCodes[KR_UCODE_CMD_COMMAND_EID] = 3;
    KestrixRig rig(config);
    CRefPtr<CKestrixLoader> loader = rig.Load();
    EXPECT_EQ(loader->IdentifyEEPROM(), 3u);
    EXPECT_FALSE(loader->IsPartIdentified());
    EXPECT_TRUE(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_ESI, 1).empty());
    EXPECT_EQ(rig.ui->messages.back(),
              "1:Command id:0002 Command: KR_UCODE_CMD_COMMAND_EID failed\n"
              "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000003\n"
              "Error: KR_UCODE_ERR_CODE_CMD_EID_RD_ERROR \n"
              "  EEPROM ID process failed. ");
}

TEST(KestrixEEPROM, OperationsBeforeIdentificationSendNothing)
{
    const std::string runEid = "1:Please run KR_UCODE_CMD_COMMAND_EID ( EEPROM ID ) first.";
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    std::vector<uint8_t> bytes(16);
    uint32_t status = 0;
    const struct
    {
        std::function<uint32_t()> run;
        std::vector<std::string> shown;
    } cases[] = {
        {[&] { return loader->EraseSectors(0, 1); },
         {"1:Before running KR_UCODE_CMD_COMMAND_ESE ( Sector Erase ) command", runEid}},
        {[&] { return loader->EraseChip(); },
         {"1:Before running KR_UCODE_CMD_COMMAND_ECE (Chip Erase) command", runEid}},
        {[&] { return loader->ReadEEPROM(0, bytes); },
         {"1:Before running KR_UCODE_CMD_COMMAND_ERD ( Read EEPROM) command", runEid}},
        {[&] { return loader->ProgramEEPROM(0, bytes, 0); },
         {"1:Before running KR_UCODE_CMD_COMMAND_EWR ( Program EEPROM ) command", runEid}},
        {[&] { return loader->SetProtection(1); }, {runEid}},
        {[&] { return loader->ReadStatusRegister(0, status); }, {runEid}},
    };
    const uint32_t writes = rig.kestrix->MailboxWrites();
    for (const auto& c : cases)
    {
        rig.ui->messages.clear();
        EXPECT_EQ(c.run(), 2u);
        EXPECT_EQ(rig.ui->messages, c.shown);
    }
    EXPECT_EQ(rig.kestrix->MailboxWrites(), writes);
}

TEST(KestrixEEPROM, TransfersAreCutToTheDataBuffer)
{
    constexpr uint32_t a = 0x10000;
    struct Case
    {
        const char* name;
        uint32_t bufferSize;
        bool program;
        uint32_t count;
        Arguments commands;
    };
    const std::vector<Case> cases = {
        {"read 1 KiB, 8 KiB buffer", 0x2000, false, 1024, {{a, 1024}}},
        {"read 20 KiB, 9 KiB buffer",
         0x2400,
         false,
         0x5000,
         {{a, 0x2000}, {a + 0x2000, 0x2000}, {a + 0x4000, 0x1000}}},
        {"program 10 bytes", 0x2000, true, 10, {{a, 10, 2}}},
        {"program one buffer", 0x2400, true, 0x2400, {{a, 0x2400, 2}}},
        {"program two buffers and 5 bytes",
         0x2400,
         true,
         0x4805,
         {{a, 0x2400, 2}, {a + 0x2400, 0x2400, 2}, {a + 0x4800, 5, 2}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        testkit::CScratchDirectory folder("romvise-kestrix-chunks");
        KestrixRig rig;
        CRefPtr<CKestrixLoader> loader = LoadWithBuffer(rig, folder, c.bufferSize);
        ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
        std::vector<uint8_t> bytes = RandomBytes(c.count, c.count);
        if (c.program)
        {
            // Flags pass through unchanged (bit 1 means nothing to the model).
            EXPECT_EQ(loader->ProgramEEPROM(a, bytes, 2), 0u);
            EXPECT_EQ(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_EWR, 3), c.commands);
            EXPECT_EQ(rig.contents->Read(a, c.count), bytes);
        }
        else
        {
            rig.contents->Write(a, bytes);
            std::vector<uint8_t> read(c.count);
            EXPECT_EQ(loader->ReadEEPROM(a, read), 0u);
            EXPECT_EQ(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_ERD, 2), c.commands);
            EXPECT_EQ(read, bytes);
        }
    }
}

TEST(KestrixEEPROM, ReadRefusesABufferSmallerThanAnEraseBlock)
{
    testkit::CScratchDirectory folder("romvise-kestrix-small");
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = LoadWithBuffer(rig, folder, 0x800);
    ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
    std::vector<uint8_t> bytes(16);
    EXPECT_EQ(loader->ReadEEPROM(0, bytes), 8u);
    EXPECT_TRUE(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_ERD, 2).empty());
    EXPECT_EQ(rig.ui->messages.back(), "1: Kestrix image data buffer (0x00000800 bytes) is smaller "
                                       "than one EEPROM erase block (0x00001000 bytes)");
}

TEST(KestrixEEPROM, SectorEraseAdvancesByEraseBlocksAndStopsAtAFailure)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
    rig.contents->Write(0x20000, std::vector<uint8_t>(0x3000, 0));
    EXPECT_EQ(loader->EraseSectors(0x20000, 3), 0u);
    EXPECT_EQ(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_ESE, 1),
              (Arguments{{0x20000}, {0x21000}, {0x22000}}));
    EXPECT_EQ(rig.contents->Read(0x20000, 0x3000), std::vector<uint8_t>(0x3000, 0xFF));

    rig.kestrix->Config().errorCodes[KR_UCODE_CMD_COMMAND_ESE] = 85;
    EXPECT_EQ(loader->EraseSectors(0x30000, 3), 85u);
    EXPECT_EQ(ArgumentsOf(*rig.kestrix, KR_UCODE_CMD_COMMAND_ESE, 1).size(), 4u);
}

TEST(KestrixEEPROM, ReadEraseAndProgramThroughTheMicrocodeMatchTheChip)
{
    KestrixRig rig;
    rig.contents->Write(0, RandomBytes(0x80000, 7));
    CRefPtr<CKestrixLoader> loader = rig.Load();
    ASSERT_EQ(loader->IdentifyEEPROM(), 0u);

    std::vector<uint8_t> read(0x3000);
    ASSERT_EQ(loader->ReadEEPROM(0x1000, read), 0u);
    EXPECT_EQ(read, rig.contents->Read(0x1000, 0x3000));

    const std::vector<uint8_t> image = RandomBytes(0x2100, 11);
    ASSERT_EQ(loader->EraseSectors(0x4000, 3), 0u);
    ASSERT_EQ(loader->ProgramEEPROM(0x4000, image, 0), 0u);
    std::vector<uint8_t> back(image.size());
    ASSERT_EQ(loader->ReadEEPROM(0x4000, back), 0u);
    EXPECT_EQ(back, image);
    EXPECT_EQ(rig.contents->Read(0x4000, image.size()), image);
    // The rest of the last erased block is erased.
    EXPECT_EQ(rig.contents->Read(0x6100, 0xF00), std::vector<uint8_t>(0xF00, 0xFF));

    // Flags 0: the microcode erases the touched block itself where needed.
    const std::vector<uint8_t> again = RandomBytes(0x100, 12);
    ASSERT_EQ(loader->ProgramEEPROM(0x4010, again, 0), 0u);
    EXPECT_EQ(rig.contents->Read(0x4010, again.size()), again);

    ASSERT_EQ(loader->EraseChip(), 0u);
    EXPECT_EQ(rig.contents->Read(0, 0x80000), std::vector<uint8_t>(0x80000, 0xFF));
}

// EWR flags bit 0 programs without erase (the secure driver's
// kProgramWithoutErase); clear, the microcode erases each block where a new
// byte needs a clear bit set, and puts back the rest of that block.
TEST(KestrixEEPROM, ProgramErasesOnDemandUnlessToldNotTo)
{
    constexpr uint32_t kBlock = 0x1000; // MX25L4005A's 4 KiB sector
    constexpr uint32_t kAt = 0x4010;
    struct Case
    {
        const char* name;
        uint32_t flags;
        bool blankTarget; // the bytes to program are 0xFF already
        std::vector<SimFlashOperation> erases;
    };
    const Case cases[] = {
        {"without erase", 1, false, {}},
        {"on demand, needed", 0, false, {{0x4000, kBlock}}},
        {"on demand, not needed", 0, true, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        KestrixRig rig;
        std::vector<uint8_t> before = RandomBytes(0x10000, 3);
        const std::vector<uint8_t> data = RandomBytes(0x100, 4);
        if (c.blankTarget)
        {
            std::fill_n(before.begin() + (kAt - 0x4000), data.size(), 0xFF);
        }
        rig.contents->Write(0x4000, before);
        CRefPtr<CKestrixLoader> loader = rig.Load();
        ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
        rig.chip->ClearHistory();

        ASSERT_EQ(loader->ProgramEEPROM(kAt, data, c.flags), 0u);

        EXPECT_EQ(rig.chip->Erases(), c.erases);
        std::vector<uint8_t> wanted = before;
        for (size_t i = 0; i < data.size(); ++i)
        {
            uint8_t& byte = wanted[kAt - 0x4000 + i];
            // Without an erase, programming only clears bits.
            byte = c.erases.empty() ? static_cast<uint8_t>(byte & data[i]) : data[i];
        }
        EXPECT_EQ(rig.contents->Read(0x4000, wanted.size()), wanted);
    }
}

TEST(KestrixEEPROM, ProtectionAndStatusRegister)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    ASSERT_EQ(loader->IdentifyEEPROM(), 0u);
    uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(loader->SetProtection(1), 0u);
    EXPECT_EQ(loader->ReadStatusRegister(0, status), 0u);
    EXPECT_EQ(status & 0x0Cu, 0x0Cu);
    EXPECT_EQ(loader->SetProtection(0), 0u);
    EXPECT_EQ(loader->ReadStatusRegister(0, status), 0u);
    EXPECT_EQ(status & 0x0Cu, 0u);
}

TEST(KestrixEEPROM, ReadsTheEcidByKind)
{
    SimKestrixConfig config;
    for (uint8_t i = 0; i < 32; ++i)
    {
        config.ecid[i] = static_cast<uint8_t>(0xE0 + i);
    }
    KestrixRig rig(config);
    CRefPtr<CKestrixLoader> loader = rig.Load();
    for (const uint32_t kind : {1u, 2u, 4u})
    {
        SCOPED_TRACE(kind);
        std::array<uint8_t, 32> ecid{};
        EXPECT_EQ(loader->ReadECID(ecid, kind), 0u);
        const size_t count = kind == 1 ? 32 : kind == 2 ? 16 : 0;
        for (size_t i = 0; i < 32; ++i)
        {
            EXPECT_EQ(ecid[i], i < count ? config.ecid[i] : 0) << i;
        }
    }
}
} // namespace
