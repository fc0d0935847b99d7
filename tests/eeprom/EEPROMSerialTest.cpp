#include "FlashRig.h"
#include "core/CrossPlatform.h"
#include "core/TextHelpers.h"
#include "eeprom/IEEPROM.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

using testkit::ErrorOf;

namespace
{
// MX25L512: 64 KiB, 256-byte pages, 4 KiB erase blocks, protect mask 0x0C.
constexpr uint8_t kMx = 0xC2;
constexpr uint16_t kMx25l512 = 0x2010;
constexpr uint32_t kSerialPartSize = 0x10000;
constexpr uint32_t kBlock = 0x1000;

std::string Describe(IEEPROM& eeprom)
{
    std::ostringstream text;
    eeprom.Describe(text);
    return text.str();
}

// An adapter whose display driver the operating-system layer manages.
class CManagedAdapter : public CReferenceCountImpl, public IAdapterContext
{
public:
    ROMVISE_REFCOUNT_FORWARD
    uint32_t GetDeviceKind() override { return 8; }
    uint8_t GetBusNumber() override { return 1; }
    uint8_t GetDeviceNumber() override { return 0; }
    bool IsDisplayAttached() override { return true; }
};

// Counts the display-driver restores that reach the operating-system layer: a
// restore on a managed active adapter hands it to the layer's hook, which
// counts, then clears it, so only the first restore is counted.
class CRestoreCountingHook : public CReferenceCountImpl, public IDisplayDriverHook
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void LoadPreOSApp(CRefPtr<IAdapterContext>, CRefPtr<IReferenceCount>, CRefPtr<IReferenceCount>,
                      CLog* log) override
    {
        ++count;
        lastLog = log;
    }
    void ResetDriverState() override {}

    int count = 0;
    CLog* lastLog = nullptr;
};

struct RestoreCounter
{
    RestoreCounter() : hook(new CRestoreCountingHook)
    {
        GetCrossPlatform()->SetActiveAdapter(CRefPtr<IAdapterContext>(new CManagedAdapter));
        GetCrossPlatform()->SetDisplayDriverHook(CRefPtr<IDisplayDriverHook>(hook.get()));
    }
    ~RestoreCounter()
    {
        GetCrossPlatform()->SetDisplayDriverHook(nullptr);
        GetCrossPlatform()->SetActiveAdapter(nullptr);
    }
    int Count() const { return hook->count; }
    CLog* LastLog() const { return hook->lastLog; }

    CRefPtr<CRestoreCountingHook> hook;
};
} // namespace

// ---- identification ---------------------------------------------------------

struct IdentifyCase
{
    uint8_t manufacturer;
    uint16_t device;
    std::vector<uint8_t> sentOpcodes;
    std::vector<uint8_t> unsentOpcodes;
};

// The part's ids name the case; the case's bytes would show addresses that
// change from run to run.
std::string CaseName(const IdentifyCase& c)
{
    return "Maker" + ToHex(c.manufacturer, 2) + "Device" + ToHex(c.device, 4);
}

void PrintTo(const IdentifyCase& c, std::ostream* out)
{
    *out << CaseName(c);
}

class EEPROMIdentifyTest : public ::testing::TestWithParam<IdentifyCase>
{
};

TEST_P(EEPROMIdentifyTest, FindsThePartByTheCommandItsMakerAnswers)
{
    const IdentifyCase& wanted = GetParam();
    FlashRig flash(wanted.manufacturer, wanted.device);
    CRefPtr<IEEPROM> eeprom = flash.Open();
    ASSERT_TRUE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
    EXPECT_EQ(eeprom->GetType().ManufacturerID, wanted.manufacturer);
    EXPECT_EQ(eeprom->GetType().DeviceID, wanted.device);
    for (uint8_t opcode : wanted.sentOpcodes)
    {
        EXPECT_EQ(flash.chip->CommandCount(opcode), 1u) << std::hex << int{opcode};
    }
    for (uint8_t opcode : wanted.unsentOpcodes)
    {
        EXPECT_EQ(flash.chip->CommandCount(opcode), 0u) << std::hex << int{opcode};
    }
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

INSTANTIATE_TEST_SUITE_P(Parts, EEPROMIdentifyTest,
                         ::testing::Values(
                             // JEDEC answer found at once.
                             IdentifyCase{0xEF, 0x3013, {0x9F}, {0x90, 0x15, 0xAB}},
                             // JEDEC answer beginning with the continuation code.
                             IdentifyCase{0x7F, 0x9D7D, {0x9F}, {0x90, 0x15, 0xAB}},
                             // SST's 0x90 answer: the Atmel and ST steps are skipped.
                             IdentifyCase{0xBF, 0x0049, {0x9F, 0x90}, {0x15, 0xAB}},
                             // Atmel and Tenx answer 0x15; no 0xAB step.
                             IdentifyCase{0x1F, 0x0065, {0x9F, 0x90, 0x15}, {0xAB}},
                             IdentifyCase{0x5E, 0x0001, {0x9F, 0x90, 0x15}, {0xAB}},
                             // 0xAB: PMC answers its manufacturer first; ST only its device byte.
                             IdentifyCase{0x9D, 0x007B, {0x9F, 0x90, 0x15, 0xAB}, {}},
                             IdentifyCase{0x20, 0x0010, {0x9F, 0x90, 0x15, 0xAB}, {}}),
                         [](const ::testing::TestParamInfo<IdentifyCase>& info)
                         { return CaseName(info.param); });

TEST(EEPROMIdentify, UnknownPartIsDescribedWithItsReportedIdsAndCannotBeErased)
{
    FlashRig flash(kMx, kMx25l512);
    for (uint8_t opcode : {0x9F, 0x90, 0x15, 0xAB})
    {
        flash.chip->SetIdAnswer(opcode, {0xFF});
    }
    CRefPtr<IEEPROM> eeprom = flash.Open();
    EXPECT_FALSE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
    // A failed identification is not repeated.
    EXPECT_FALSE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
    EXPECT_EQ(flash.chip->CommandCount(0x9F), 1u);
    EXPECT_EQ(Describe(*eeprom), "EEPROM ID (20,00FF) : Unknown");
    EXPECT_EQ(ErrorOf([&] { eeprom->ErasePages(nullptr, 0, kBlock, false, flash.log); }),
              "Display adapter's EEPROM does not support block erase");
    EXPECT_EQ(ErrorOf([&] { eeprom->EraseChip(nullptr, flash.log); }),
              "Cannot program unknown EEPROM type");
}

TEST(EEPROMIdentify, EndlessContinuationCodesEndTheProductIdRead)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->SetIdAnswer(0x9F, {0xFF});
    flash.chip->SetIdAnswer(0x90, {0xFF});
    flash.chip->SetIdAnswer(0x15, {0x7F});
    flash.chip->SetIdAnswer(0xAB, {0x10});
    CRefPtr<IEEPROM> eeprom = flash.Open();
    // The ST step still runs and finds 20/0010.
    EXPECT_TRUE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
    EXPECT_EQ(eeprom->GetType().PartName, "M25P10");
    EXPECT_NE(flash.logText.str().find("Continued Manufacturer Code (Atmel): 7F"),
              std::string::npos);
}

TEST(EEPROMIdentify, DescribeShowsThePart)
{
    FlashRig flash(kMx, kMx25l512);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    EXPECT_EQ(Describe(*eeprom), "EEPROM ID (C2,2010) : MX MX25L512 2.7-3.6V 512Kx1S, page");
}

// ---- writing ---------------------------------------------------------------------

TEST(EEPROMErase, PageRequestsThatAreNotWholeBlocksOfThePartAreRefused)
{
    // A case with fromEnd counts its address back from the end of the part.
    struct Case
    {
        uint32_t address;
        bool fromEnd;
        uint32_t count;
        const char* error;
    };
    const Case cases[] = {
        {0, false, kBlock / 2, "Can only erase full pages"},
        {kBlock / 2, false, kBlock, "Can only erase pages starting on a page boundry"},
        {kBlock, true, 2 * kBlock, "Can only erase pages within the identified device's size"},
        // The end lies past 4 GiB: refused, not wrapped round to the start.
        {0xFFFFF000, false, 2 * kBlock, "Can only erase pages within the identified device's size"},
    };
    // The standard serial driver restores the display driver before the
    // error; the SST driver never does.
    struct Driver
    {
        uint8_t manufacturer;
        uint16_t device;
        ESimSpiFlavour flavour;
        uint32_t romType;
        uint32_t size;
        int restores;
    };
    for (const Driver& driver : {Driver{kMx, kMx25l512, ESimSpiFlavour::Standard, 1, kSerialPartSize, 1},
                                 Driver{0xBF, 0x0049, ESimSpiFlavour::SST, 2, 0x20000, 0}})
    {
        FlashRig flash(driver.manufacturer, driver.device, driver.flavour);
        CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(driver.romType);
        for (const Case& c : cases)
        {
            const uint32_t address = c.fromEnd ? driver.size - c.address : c.address;
            RestoreCounter restores;
            EXPECT_EQ(
                ErrorOf([&] { eeprom->ErasePages(nullptr, address, c.count, false, flash.log); }),
                c.error)
                << std::hex << address;
            EXPECT_EQ(restores.Count(), driver.restores) << std::hex << address;
        }
        EXPECT_TRUE(flash.chip->Erases().empty());
    }
}

// A part that ignores Write Enable would ignore the erase as well: the driver
// reads the latch back and stops before the erase command, instead of
// waiting out an erase that never ran and failing later at the verify.
TEST(EEPROMErase, WriteEnableThatDoesNotTakeStopsTheEraseBeforeItsCommand)
{
    struct Case
    {
        const char* name;
        uint8_t eraseOpcode; // MX25L512's row: chip erase 0xC7, block erase 0x20
        std::function<void(IEEPROM&, CLog&)> erase;
        const char* error;
    };
    const Case cases[] = {
        {"chip", 0xC7, [](IEEPROM& eeprom, CLog& log) { eeprom.EraseChip(nullptr, log); },
         "Write enable not accepted, unable to erase EEPROM."},
        {"pages", 0x20,
         [](IEEPROM& eeprom, CLog& log)
         { eeprom.ErasePages(nullptr, kBlock, 2 * kBlock, false, log); },
         "Write enable not accepted, unable to erase EEPROM pages."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FlashRig flash(kMx, kMx25l512);
        const std::vector<uint8_t> before = RandomBytes(kSerialPartSize, 5);
        flash.Fill(before);
        flash.chip->Faults().loseWriteEnable = true;
        CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
        RestoreCounter restores;
        EXPECT_EQ(ErrorOf([&] { c.erase(*eeprom, flash.log); }), c.error);
        EXPECT_EQ(flash.chip->CommandCount(c.eraseOpcode), 0u);
        EXPECT_EQ(restores.Count(), 1);
        EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
        EXPECT_EQ(flash.Bytes(), before);
    }
}

TEST(EEPROMWrite, WholeImageIsErasedProgrammedAndVerified)
{
    FlashRig flash(kMx, kMx25l512);
    flash.Fill(RandomBytes(kSerialPartSize, 1));
    const std::vector<uint8_t> wanted = RandomBytes(kSerialPartSize, 2);
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    EXPECT_EQ(eeprom->WriteImage(nullptr, 0, image.get(), 0, kSerialPartSize, true, true, flash.log), kSerialPartSize);
    EXPECT_EQ(flash.Bytes(), wanted);
    EXPECT_EQ(flash.chip->Erases().size(), kSerialPartSize / kBlock);
    EXPECT_EQ(flash.chip->Programs().size(), kSerialPartSize / 256);
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

TEST(EEPROMWrite, IdenticalImageNeitherErasesNorPrograms)
{
    FlashRig flash(kMx, kMx25l512);
    const std::vector<uint8_t> bytes = RandomBytes(kSerialPartSize, 3);
    flash.Fill(bytes);
    CRefPtr<IROMImage> image = ImageOf(bytes);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    EXPECT_EQ(eeprom->WriteImage(nullptr, 0, image.get(), 0, kSerialPartSize, true, true, flash.log), kSerialPartSize);
    EXPECT_TRUE(flash.chip->Erases().empty());
    EXPECT_TRUE(flash.chip->Programs().empty());
}

TEST(EEPROMWrite, OneDifferingBlockIsTheOnlyOneErasedAndProgrammed)
{
    FlashRig flash(kMx, kMx25l512);
    const std::vector<uint8_t> bytes = RandomBytes(kSerialPartSize, 4);
    flash.Fill(bytes);
    std::vector<uint8_t> wanted = bytes;
    wanted[3 * kBlock + 10] = static_cast<uint8_t>(~wanted[3 * kBlock + 10]);
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    eeprom->WriteImage(nullptr, 0, image.get(), 0, kSerialPartSize, true, true, flash.log);
    EXPECT_EQ(flash.Bytes(), wanted);
    EXPECT_EQ(flash.chip->Erases(), (std::vector<SimFlashOperation>{{3 * kBlock, kBlock}}));
    ASSERT_EQ(flash.chip->Programs().size(), kBlock / 256);
    for (const SimFlashOperation& program : flash.chip->Programs())
    {
        EXPECT_EQ(program.address / kBlock, 3u);
    }
}

TEST(EEPROMWrite, PagesNeedingOnlyClearedBitsAreProgrammedWithoutErase)
{
    FlashRig flash(kMx, kMx25l512);
    std::vector<uint8_t> bytes(kSerialPartSize, 0xFF);
    flash.Fill(bytes);
    bytes[0x2345] = 0x12;
    CRefPtr<IROMImage> image = ImageOf(bytes);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    eeprom->WriteImage(nullptr, 0, image.get(), 0, kSerialPartSize, true, true, flash.log);
    EXPECT_EQ(flash.Bytes(), bytes);
    EXPECT_TRUE(flash.chip->Erases().empty());
    EXPECT_EQ(flash.chip->Programs(), (std::vector<SimFlashOperation>{{0x2300, 256}}));
}

TEST(EEPROMWrite, WriteEndingInsideAnErasedBlockKeepsTheRestOfThatBlock)
{
    FlashRig flash(kMx, kMx25l512);
    const std::vector<uint8_t> before = RandomBytes(kSerialPartSize, 5);
    flash.Fill(before);
    const std::vector<uint8_t> image = RandomBytes(kSerialPartSize, 6);
    CRefPtr<IROMImage> newImage = ImageOf(image);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    // Writes block 0 whole and the first 0x164 bytes of block 1.
    const uint32_t count = kBlock + 0x164;
    EXPECT_EQ(eeprom->WriteImage(nullptr, 0, newImage.get(), 0, count, true, true, flash.log),
              count);
    std::vector<uint8_t> wanted = before;
    std::copy_n(image.begin(), count, wanted.begin());
    EXPECT_EQ(flash.Bytes(), wanted);
    EXPECT_EQ(flash.chip->Erases().size(), 2u);
}

TEST(EEPROMWrite, FailedPageAfterAnEraseStillPutsBackTheRestOfTheBlock)
{
    FlashRig flash(kMx, kMx25l512);
    const std::vector<uint8_t> before = RandomBytes(kSerialPartSize, 7);
    flash.Fill(before);
    std::vector<uint8_t> image = RandomBytes(kSerialPartSize, 8);
    image[0x105] = static_cast<uint8_t>(before[0x105] | 0x01); // needs the stuck bit
    flash.chip->Faults().stuckBits[0x105] = {0x01, 0x00};
    CRefPtr<IROMImage> newImage = ImageOf(image);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(1, 3);

    EXPECT_EQ(ErrorOf(
                  [&]
                  { eeprom->WriteImage(nullptr, 0, newImage.get(), 0, 0x164, true, true, flash.log); }),
              "Mismatch in 100 byte page-mode programming");
    const std::vector<uint8_t> after = flash.Bytes();
    // Everything past the written range, in the erased block and beyond, is as it was.
    EXPECT_TRUE(std::equal(after.begin() + 0x164, after.end(), before.begin() + 0x164));
    // The page written before the failure holds the new bytes.
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x100, image.begin()));
}

TEST(EEPROMWrite, UnalignedStartNeedingAnEraseIsRefusedBeforeAnythingIsErased)
{
    FlashRig flash(kMx, kMx25l512);
    flash.Fill(std::vector<uint8_t>(kSerialPartSize, 0x00));
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(kSerialPartSize, 0xA5));
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    EXPECT_EQ(
        ErrorOf(
            [&]
            { eeprom->WriteImage(nullptr, 0x100, image.get(), 0, 0x200, true, true, flash.log); }),
        "Cannot erase unaligned block");
    EXPECT_TRUE(flash.chip->Erases().empty());
}

TEST(EEPROMWrite, StuckBitEndsInTheMismatchErrorAfterTheRetries)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Faults().stuckBits[0x105] = {0x01, 0x00};
    RestoreCounter restores;
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(0x1000, 0xFF));
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(1, 3);
    flash.contents->Fill(0x100, 8, 0x00);

    EXPECT_EQ(
        ErrorOf([&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, 0x1000, true, true, flash.log); }),
        "Mismatch in 256 byte page-mode programming");
    EXPECT_EQ(flash.chip->CommandCount(0x02), 3u + 1u); // page 0, then page 1 three times
    EXPECT_EQ(restores.Count(), 1);
    EXPECT_EQ(restores.LastLog(), &flash.log);
    EXPECT_NE(flash.logText.str().find("Byte: 0x00000105"), std::string::npos);
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

TEST(EEPROMWrite, ZeroRetriesStillProgramsAndChecksThePage)
{
    // A bit the page needs is stuck at 0: the one attempt is programmed,
    // checked, and fails.
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Faults().stuckBits[0x05] = {0x02, 0x00};
    std::vector<uint8_t> bytes(256, 0x5A);
    CRefPtr<IROMImage> image = ImageOf(bytes);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(1, 0);
    EXPECT_EQ(
        ErrorOf([&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log); }),
        "Mismatch in 256 byte page-mode programming");
    EXPECT_EQ(flash.chip->CommandCount(0x02), 1u);
    bytes[0x05] = 0x58;
    EXPECT_EQ(flash.contents->Read(0, 256), bytes);
}

// ---- busy polling ----------------------------------------------------------------

TEST(EEPROMBusy, ReadyOnTheLastAllowedPollIsNotATimeout)
{
    for (const uint32_t busyReads : {999u, 1000u})
    {
        SCOPED_TRACE(busyReads);
        FlashRig flash(kMx, kMx25l512);
        flash.chip->Timing() = SimSpiFlashTiming{0, 0, 0, 0, 0, 0};
        flash.chip->Faults().extraBusyReads = busyReads;
        CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(256, 0x00));
        CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
        const std::string error = ErrorOf(
            [&] { eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log); });
        if (busyReads == 999)
        {
            EXPECT_EQ(error, "(no error)");
        }
        else
        {
            EXPECT_EQ(error, "Exceeded maximum wait time to program a single page: 2005 ms");
        }
        EXPECT_EQ(flash.ControlRegister() & 3u, 2u); // released, software control off
    }
}

TEST(EEPROMBusy, EraseWaitsOutTheDatasheetTimeOnTheVirtualClock)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Timing().sectorErase = 100000; // ready on the third poll
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    const uint64_t start = flash.rig.machine->Clock().NowMicroseconds();
    eeprom->ErasePages(nullptr, 0, kBlock, false, flash.log);
    EXPECT_GE(flash.rig.machine->Clock().NowMicroseconds() - start, 110000u);
    // The protection check, the write enable latch read back, then three polls.
    EXPECT_EQ(flash.chip->StatusReads(), 1u + 1u + 3u);
}

TEST(EEPROMBusy, ChipThatNeverBecomesReadyTimesOutTheErase)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Faults().neverReady = true;
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    EXPECT_EQ(ErrorOf([&] { eeprom->EraseChip(nullptr, flash.log); }),
              "Exceeded maximum wait time to program a single page: 30050 ms");
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

// ---- auto-address-increment parts ------------------------------------------------

TEST(EEPROMWrite, SstPartsProgramByAutoAddressIncrementSteps)
{
    struct Case
    {
        uint16_t device;
        uint8_t opcode;
        uint64_t steps;
    };
    for (const Case& wanted : {Case{0x258C, 0xAD, 128}, Case{0x0049, 0xAF, 256}})
    {
        SCOPED_TRACE(wanted.device);
        FlashRig flash(0xBF, wanted.device);
        const std::vector<uint8_t> bytes = RandomBytes(256, wanted.device);
        CRefPtr<IROMImage> image = ImageOf(bytes);
        CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
        eeprom->WriteImage(nullptr, 0x100, image.get(), 0, 256, true, true, flash.log);
        EXPECT_EQ(flash.contents->Read(0x100, 256), bytes);
        EXPECT_EQ(flash.chip->CommandCount(wanted.opcode), wanted.steps);
        EXPECT_EQ(flash.chip->CommandCount(0x02), 0u);
        EXPECT_EQ(flash.chip->CommandCount(0x04), 1u);
    }
}

// ---- protection --------------------------------------------------------------------

TEST(EEPROMProtection, LockIsReadBackAndUnlockClearsTheBits)
{
    FlashRig flash(kMx, kMx25l512);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    eeprom->SetProtection(true, flash.log);
    EXPECT_EQ(flash.chip->Status() & 0x0C, 0x0C);
    EXPECT_NE(flash.logText.str().find("Succeed to enable write-protection after 00 try."),
              std::string::npos);

    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(kBlock, 0x00));
    EXPECT_EQ(ErrorOf([&] { eeprom->ErasePages(nullptr, 0, kBlock, false, flash.log); }),
              "Software write protection enabled, unable to erase EEPROM pages.");
    EXPECT_EQ(
        ErrorOf([&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log); }),
        "Software write protection enabled, unable to program EEPROM.");

    eeprom->SetProtection(false, flash.log);
    EXPECT_EQ(flash.chip->Status() & 0x0C, 0);
    eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log);
    EXPECT_EQ(flash.contents->Read(0, 256), std::vector<uint8_t>(256, 0x00));
}

TEST(EEPROMProtection, LockThatDoesNotTakeFailsAfterThreeTries)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Faults().writeProtectPin = true;
    RestoreCounter restores;
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    EXPECT_EQ(ErrorOf([&] { eeprom->SetProtection(true, flash.log); }),
              "Error: set EEPROM protection function failed");
    EXPECT_EQ(flash.chip->CommandCount(0x01), 3u);
    EXPECT_EQ(restores.Count(), 1);
    EXPECT_EQ(restores.LastLog(), &flash.log);
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);
}

TEST(EEPROMProtection, PartWithoutProtectBitsLocksAtTheFirstTry)
{
    FlashRig flash(0xBF, 0x2658); // global-unlock part, mask 0
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    eeprom->SetProtection(true, flash.log);
    EXPECT_EQ(flash.chip->CommandCount(0x01), 1u);
    EXPECT_EQ(flash.chip->CommandCount(0x98), 1u);
}

TEST(EEPROMProtection, LostWriteEnableLeavesThePageUnwritten)
{
    FlashRig flash(kMx, kMx25l512);
    flash.chip->Faults().loseWriteEnable = true;
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(256, 0x00));
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(1, 2);
    EXPECT_EQ(
        ErrorOf([&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log); }),
        "Mismatch in 256 byte page-mode programming");
    EXPECT_EQ(flash.contents->Read(0, 256), std::vector<uint8_t>(256, 0xFF));
}

// ---- reading ------------------------------------------------------------------------

TEST(EEPROMRead, ReadsThroughTheWindowOrBySpiCommandsAndStopsAtTheEnd)
{
    for (const bool softwareRead : {false, true})
    {
        SCOPED_TRACE(softwareRead);
        FlashRig flash(kMx, kMx25l512);
        const std::vector<uint8_t> bytes = RandomBytes(kSerialPartSize, 7);
        flash.Fill(bytes);
        CRefPtr<IEEPROM> eeprom = flash.OpenIdentified(1, 3, softwareRead);
        CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
        image->SetOffsetMode(false);
        EXPECT_EQ(eeprom->Read(nullptr, kSerialPartSize - 100, 4096, 0, image.get(), flash.log), 100u);
        EXPECT_TRUE(std::equal(bytes.end() - 100, bytes.end(), image->GetBuffer()));
        EXPECT_EQ(flash.chip->CommandCount(0x03), softwareRead ? 1u : 0u);
        EXPECT_EQ(ErrorOf([&] { eeprom->Read(nullptr, kSerialPartSize + 1, 1, 0, image.get(), flash.log); }),
                  "Can only read within the identified device's size");
    }
}

// ---- factory --------------------------------------------------------------------------

TEST(EEPROMFactory, PicksTheClassByRomTypeAndKeepsMicrocontrollerGpusOut)
{
    FlashRig flash(kMx, kMx25l512);
    EXPECT_TRUE(CreateEEPROM(flash.device, 1, 3, false, false));
    EXPECT_TRUE(CreateEEPROM(flash.device, 2, 3, false, false));
    EXPECT_TRUE(CreateEEPROM(flash.device, 3, 3, false, false));
    EXPECT_FALSE(CreateEEPROM(flash.device, 0, 3, false, false));
    EXPECT_FALSE(CreateEEPROM(flash.device, 4, 3, false, false));

    FlashRig later(kMx, kMx25l512, ESimSpiFlavour::Standard, 11);
    EXPECT_FALSE(CreateEEPROM(later.device, 1, 3, false, false));
    EXPECT_TRUE(CreateEEPROM(later.device, 1, 3, false, true));
}

// Straps that report a standard SPI part; records register 0xC040 at every
// write of the EEPROM control register that drives the pins.
class CRegisterDuringSpi : public ISimGpuRegisterHook
{
public:
    explicit CRegisterDuringSpi(CSimGpu& gpu) : m_gpu(gpu) {}
    std::optional<uint32_t> ReadRegister(uint64_t offset, unsigned) override
    {
        return offset == 0x101000 ? std::optional<uint32_t>(1u << 22) : std::nullopt;
    }
    bool WriteRegister(uint64_t offset, unsigned, uint32_t value) override
    {
        if (offset == 0xE204 && (value & 1u))
        {
            seen.insert(m_gpu.Register(0xC040));
        }
        return false;
    }

    std::set<uint32_t> seen;

private:
    CSimGpu& m_gpu;
};

TEST(EEPROMFactory, AdapterEepromMasksTheAdaptersRegisterWhileTheChipIsOpen)
{
    FlashRig flash(kMx, kMx25l512);
    flash.rig.gpu->SetRegister(0xC040, 0xFFFFFFFF);
    CDisplayAdapterType type;
    type.vendorId = 0x7E2B;
    type.deviceId = 0x0610;
    type.deviceKind = 6;
    type.name = "Korvan ISO 610";
    type.romTypeFromStraps = 1;
    type.masksC040 = 1;
    CRefPtr<IDisplayAdapter> adapter =
        CreateDisplayAdapter(type, 0x1111, 0x2222, flash.rig.OpenAccessor());
    auto spi = std::make_shared<CRegisterDuringSpi>(*flash.rig.gpu);
    flash.rig.gpu->AddHook(spi);

    CRefPtr<IEEPROM> eeprom = CreateEEPROM(adapter, 3, false, false);
    ASSERT_TRUE(eeprom);
    ASSERT_TRUE(eeprom->Identify(GetEEPROMDatabase(), flash.log));
    const std::vector<uint8_t> bytes = RandomBytes(kBlock, 5);
    CRefPtr<IROMImage> image = ImageOf(bytes);
    eeprom->WriteImage(nullptr, 0, image.get(), 0, kBlock, true, true, flash.log);

    EXPECT_EQ(flash.contents->Read(0, kBlock), bytes);
    EXPECT_EQ(spi->seen, std::set<uint32_t>{0xCFFFFFFF});
    EXPECT_EQ(flash.rig.gpu->Register(0xC040), 0xFFFFFFFFu);
}

TEST(EEPROMRead, ReadImageTakesTheWholePartAndTheCopyStopsAtTheWindow)
{
    FlashRig flash(0xEF, 0x4014); // 1 MiB
    std::vector<uint8_t> bytes(0x100000, 0xFF);
    std::fill(bytes.begin() + 0x1000, bytes.begin() + 0x1100, 0x3C);
    flash.Fill(bytes);
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();

    CRefPtr<IROMImage> image = eeprom->ReadImage(nullptr, 0x300000, flash.log);
    EXPECT_EQ(image->GetLoadedSize(), 0x100000u);
    EXPECT_EQ(image->GetByte(0x10FF), 0x3C);
    EXPECT_EQ(flash.ControlRegister() & 1u, 0u);

    CRefPtr<IROMImage> copy = eeprom->ReadImageCopy(nullptr, 0x40000, flash.log);
    EXPECT_EQ(copy->GetLoadedSize(), 0x20000u);
    EXPECT_EQ(copy->GetByte(0x1000), 0x3C);
}

namespace
{
// Fails one register write of the EEPROM control register while the chip is
// selected, as a bus error in the middle of a command would.
class CFailingControlWrite : public ISimGpuRegisterHook
{
public:
    explicit CFailingControlWrite(int failAt) : m_left(failAt) {}
    std::optional<uint32_t> ReadRegister(uint64_t, unsigned) override { return std::nullopt; }
    bool WriteRegister(uint64_t offset, unsigned, uint32_t value) override
    {
        const bool midFrame = offset == 0xE204 && (value & 1u) && !(value & 2u);
        if (midFrame && m_left > 0 && --m_left == 0)
        {
            throw std::runtime_error("bus error");
        }
        return false;
    }

private:
    int m_left;
};
} // namespace

TEST(EEPROMWrite, FailureInTheMiddleOfACommandReleasesTheChipAndThePins)
{
    FlashRig flash(kMx, kMx25l512);
    CRefPtr<IROMImage> image = ImageOf(std::vector<uint8_t>(256, 0x00));
    CRefPtr<IEEPROM> eeprom = flash.OpenIdentified();
    // Inside the page program frame, after its opcode and address.
    flash.rig.gpu->AddHook(std::make_shared<CFailingControlWrite>(300));
    EXPECT_EQ(
        ErrorOf([&]
                { eeprom->WriteImage(nullptr, 0, image.get(), 0, 256, true, true, flash.log); }),
        "bus error");
    EXPECT_EQ(flash.ControlRegister() & 3u, 2u);
    // The chip was deselected (it ends the command it was given) and takes the
    // next one once that is done.
    flash.rig.machine->Clock().WaitMicroseconds(flash.chip->Timing().pageProgram);
    eeprom->ErasePages(nullptr, 0, kBlock, false, flash.log);
    EXPECT_EQ(flash.chip->Erases().size(), 1u);
}

namespace
{
// Fails the first read of the EEPROM control register once the driver has
// taken the pins: the read-back that ends entering software SPI.
class CFailingReadBackAfterEnter : public ISimGpuRegisterHook
{
public:
    explicit CFailingReadBackAfterEnter(CSimGpu& gpu) : m_gpu(gpu) {}
    std::optional<uint32_t> ReadRegister(uint64_t offset, unsigned) override
    {
        if (offset == 0xE204 && (m_gpu.Register(0xE204) & 1u) && !std::exchange(m_failed, true))
        {
            throw std::runtime_error("bus error");
        }
        return std::nullopt;
    }
    bool WriteRegister(uint64_t, unsigned, uint32_t) override { return false; }

private:
    CSimGpu& m_gpu;
    bool m_failed = false;
};
} // namespace

TEST(EEPROMIdentify, FailureWhileTakingThePinsGivesThemBack)
{
    FlashRig flash(kMx, kMx25l512);
    flash.rig.gpu->AddHook(std::make_shared<CFailingReadBackAfterEnter>(*flash.rig.gpu));
    CRefPtr<IEEPROM> eeprom = flash.Open();
    EXPECT_EQ(ErrorOf([&] { eeprom->Identify(GetEEPROMDatabase(), flash.log); }), "bus error");
    EXPECT_EQ(flash.ControlRegister() & 3u, 2u); // released, software control off
}
