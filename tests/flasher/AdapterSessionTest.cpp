// The adapter session: the engine's settings read once, one session per
// adapter, no erase or program outside a recorded write, the record saved
// (with what the chip held) before the first erase, and the display driver
// and the adapter's lock given back on every way out.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "WatchingJournal.h"
#include "flasher/UpdateJournal.h"
#include "testkit/CapturedOutput.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
AdapterOpening WritingOpening(CFlasherMachine& rig)
{
    AdapterOpening opening;
    opening.use = AdapterUse::Writes;
    opening.bus = rig.bus;
    opening.eeproms = rig.database;
    return opening;
}
} // namespace

TEST(AdapterSession, SettingsAreReadFromTheCommandLineOnce)
{
    SetCommandLine({"noretries", "mergevarnex", "romout=out.rom", "altdevid=4660", "offswdriver"});
    const EngineSettings read = EngineSettings::FromCommandLine(*ICommandLine::GetInstance());
    EXPECT_EQ(read.retries, 1);
    EXPECT_TRUE(read.mergeVarnex);
    EXPECT_TRUE(read.keepDisplayDriver);
    EXPECT_EQ(read.romOut, "out.rom");
    EXPECT_EQ(read.altDeviceId, 4660);
    EXPECT_EQ(read.romIn, std::nullopt);
    EXPECT_FALSE(read.wiuConsole) << "an option this command line lacks reads as not set";

    CRefPtr<CFlasherImpl> engine(new CFlasherImpl(read));
    SetCommandLine({});
    EXPECT_TRUE(engine->Settings().mergeVarnex) << "the engine keeps what it read";
    EXPECT_EQ(engine->Settings().romOut, "out.rom");
}

TEST(AdapterSession, OneSessionPerAdapterAndNoWriteOutsideARecordedWrite)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    rig.flasher->SetUpdateJournal(journal.get());
    const AdapterOpening opening = WritingOpening(rig);
    CRefPtr<IAdapterSession> first =
        rig.flasher->OpenAdapterSession(rig.Adapter(0), opening, rig.ui, &rig.log);
    CRefPtr<IAdapterSession> again =
        rig.flasher->OpenAdapterSession(rig.Adapter(0), opening, rig.ui, &rig.log);
    EXPECT_EQ(first.get(), again.get()) << "an open session is reused";

    CRefPtr<IEEPROM> eeprom = first->EEPROM();
    ASSERT_TRUE(eeprom->Identify(rig.database.get(), rig.log));
    rig.Chip(0).ClearHistory();
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    EXPECT_EQ(ErrorOf([&] { eeprom->EraseChip(nullptr, rig.log); }),
              "EEPROM write outside a recorded write");
    EXPECT_EQ(ErrorOf([&] { eeprom->ErasePages(nullptr, 0, 0x1000, false, rig.log); }),
              "EEPROM write outside a recorded write");
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
    EXPECT_TRUE(rig.Chip(0).Programs().empty());
    EXPECT_TRUE(rig.ChipBytes(0) == before);
    EXPECT_TRUE(journal->begun.empty());
    rig.flasher->SetUpdateJournal(nullptr);
}

// A pending record is announced through the user interface the session is
// given, in the words of what the session is open for, and not at all when
// the opening says so; nothing of it goes straight to standard output.
TEST(AdapterSession, APendingRecordIsAnnouncedThroughTheUserInterface)
{
    const std::string reads =
        "NOTE: This display adapter has an unfinished update (a firmware update): the same "
        "update again (romuvise, or romvise with the same file) finishes it. Nothing is "
        "written now.\n";
    const std::string saves =
        "NOTE: The last update of this display adapter (a firmware update) did not finish; the "
        "firmware it held before is read in place of the chip, and the same update again "
        "(romuvise, or romvise with the same file) finishes it.\n";
    const std::string writes =
        "NOTE: The last update of this display adapter did not finish; it will be updated "
        "again from the firmware it held before.\n";
    struct Case
    {
        AdapterUse use;
        bool announce;
        std::string shown; // empty: no note at all
    };
    const Case cases[] = {
        {AdapterUse::Reads, true, reads},   {AdapterUse::Saves, true, saves},
        {AdapterUse::Writes, true, writes}, {AdapterUse::Reads, false, ""},
        {AdapterUse::Saves, false, ""},     {AdapterUse::Writes, false, ""},
    };
    for (const Case& row : cases)
    {
        SCOPED_TRACE(static_cast<int>(row.use) * 10 + row.announce);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
        journal->pending = rig.ChipBytes(0);
        rig.flasher->SetUpdateJournal(journal.get());
        AdapterOpening opening = WritingOpening(rig);
        opening.use = row.use;
        opening.announcePending = row.announce;
        testkit::CCapturedOutput console;
        CRefPtr<IAdapterSession> session =
            rig.flasher->OpenAdapterSession(rig.Adapter(0), opening, rig.ui, &rig.log);
        rig.flasher->SetUpdateJournal(nullptr);

        if (row.shown.empty())
        {
            EXPECT_EQ(rig.Shown().find("NOTE:"), std::string::npos) << rig.Shown();
        }
        else
        {
            EXPECT_NE(rig.Shown().find(row.shown), std::string::npos) << rig.Shown();
        }
        EXPECT_EQ(console.Text(), "") << "the session writes nothing to standard output itself";
    }
}

// A field update, a deletion and a whole-image flash each save the record,
// holding what the chip held, before the chip's first erase, and remove it
// after the read-back.
TEST(AdapterSession, TheRecordIsSavedBeforeTheFirstErase)
{
    struct Writer
    {
        const char* name;
        void (*run)(CFlasherMachine& rig);
    };
    const Writer writers[] = {
        {"straps",
         [](CFlasherMachine& rig)
         {
             rig.flasher->UpdateStraps(rig.ui, rig.bus, rig.Adapter(0), rig.database, 0xA0, 0xB0,
                                       0xC0, 0xD0, &rig.log);
         }},
        {"delete",
         [](CFlasherMachine& rig)
         {
             rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.Adapter(0), rig.database, true,
                                      &rig.log);
         }},
    };
    for (const Writer& writer : writers)
    {
        SCOPED_TRACE(writer.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware({.length = 0x2000})}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
        size_t erasesAtBegin = 99;
        size_t programsAtBegin = 99;
        journal->onBegin = [&]
        {
            erasesAtBegin = rig.Chip(0).Erases().size();
            programsAtBegin = rig.Chip(0).Programs().size();
        };
        rig.flasher->SetUpdateJournal(journal.get());
        rig.Chip(0).ClearHistory();
        writer.run(rig);
        rig.flasher->SetUpdateJournal(nullptr);

        ASSERT_EQ(journal->begun.size(), 1u);
        EXPECT_TRUE(journal->begun[0] == before) << "the record holds what the chip held";
        EXPECT_EQ(erasesAtBegin, 0u);
        EXPECT_EQ(programsAtBegin, 0u);
        EXPECT_FALSE(rig.Chip(0).Erases().empty()) << "the writer erased after it";
        EXPECT_EQ(journal->finishes, 1);
    }
}

// A record that does not explain the chip: the deletion is refused before
// any write, the display driver comes back, and the adapter's lock is free
// once the operation's session closed.
TEST(AdapterSession, ARefusedRecordGivesTheDriverAndTheAdapterBack)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware({.length = 0x2000})}});
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    std::vector<uint8_t> otherBoard = chip;
    otherBoard[0x40] ^= 0x0F;
    otherBoard[0x1040] ^= 0x0F;
    const UpdateRecordOwner owner{0, 1, 0, 0, rig.Adapter(0)->GetVendorID(),
                                  rig.Adapter(0)->GetDeviceID()};
    const std::filesystem::path record = rig.folder / "update-0000-01-00.0.rec";
    rig.folder.WriteBytes(record.filename(),
                          EncodeUpdateRecord(owner, UpdateRecord{UpdateWriteKind::Field, otherBoard,
                                                                 otherBoard}));
    CRefPtr<CUpdateJournalImpl> journal(new CUpdateJournalImpl(rig.folder.Path()));
    rig.flasher->SetUpdateJournal(journal.get());
    rig.Chip(0).ClearHistory();

    EXPECT_EQ(ErrorOf(
                  [&]
                  {
                      rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.Adapter(0), rig.database,
                                               true, &rig.log);
                  }),
              "The update record " + record.string() +
                  " cannot be used: it does not match this adapter's EEPROM. The display adapter "
                  "is not updated; the record is kept.");
    rig.flasher->SetUpdateJournal(nullptr);
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
    EXPECT_TRUE(rig.ChipBytes(0) == chip);
    EXPECT_TRUE(std::filesystem::exists(record));
    EXPECT_TRUE(rig.DriverBound(0)) << "the display driver is back";
    CRefPtr<CUpdateJournalImpl> another(new CUpdateJournalImpl(rig.folder.Path()));
    EXPECT_NO_THROW(another->Claim(rig.Adapter(0))) << "the lock went with the session";
}
