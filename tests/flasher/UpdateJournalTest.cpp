// Update record files: what Begin writes and a later run reads back, the
// records a reader refuses (named, kept, never written over), the removal
// that must not fail silently, files never written or read through links,
// one run at a time per adapter, and which chips a record explains.

#include "FlasherMachine.h"
#include "core/Exceptions.h"
#include "flasher/UpdateJournal.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/SeedImages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testkit::ErrorOf;

namespace
{
// A journal in its own folder.
struct JournalRig
{
    JournalRig() : machine({{0x0800, 8, {}}}), adapter(machine.Adapter(0))
    {
        journal = new CUpdateJournalImpl(folder.Path());
    }
    std::filesystem::path Record() const { return folder / "update-0000-01-00.0.rec"; }
    std::vector<uint8_t> RecordBytes() const { return testkit::ReadFileBytes(Record()); }
    UpdateRecordOwner Owner() const
    {
        return {0, 1, 0, 0, adapter->GetVendorID(), adapter->GetDeviceID()};
    }

    CFlasherMachine machine;
    CRefPtr<IDisplayAdapter> adapter;
    testkit::CScratchDirectory folder{"romvise-journal"};
    CRefPtr<CUpdateJournalImpl> journal;
};

const std::vector<uint8_t> kContent = {0x55, 0xAA, 0x10, 0x00, 0xE9, 0x42, 0xFF, 0x07};

void StoreLE(std::vector<uint8_t>& bytes, size_t at, uint32_t value, int count)
{
    for (int i = 0; i < count; ++i)
    {
        bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}
} // namespace

TEST(UpdateJournal, RecordSurvivesTheRunAndGoesOnFinish)
{
    JournalRig rig;
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), std::nullopt) << "no record yet";
    const std::vector<uint8_t> target = {0x55, 0xAA, 0x20, 0x00, 0xE9, 0x42, 0x00, 0x07};
    rig.journal->BeginRecord(rig.adapter, UpdateRecord{UpdateWriteKind::Field, kContent, target});

    // The record's layout, which a later version of the program must read:
    // the header, then the kind, the two lengths, the content before and the
    // target.
    const std::vector<uint8_t> bytes = rig.RecordBytes();
    ASSERT_EQ(bytes.size(), kUpdateRecordHeaderSize + 12 + 2 * kContent.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "RVUPDREC");
    const std::vector<uint8_t> fields(bytes.begin() + 8, bytes.begin() + 25);
    const uint16_t vendor = rig.adapter->GetVendorID();
    const uint16_t device = rig.adapter->GetDeviceID();
    EXPECT_EQ(fields, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 1, 0, 0, static_cast<uint8_t>(vendor),
                                            static_cast<uint8_t>(vendor >> 8),
                                            static_cast<uint8_t>(device),
                                            static_cast<uint8_t>(device >> 8), 28, 0, 0, 0}));
    const std::vector<uint8_t> payloadHead(bytes.begin() + kUpdateRecordHeaderSize,
                                           bytes.begin() + kUpdateRecordHeaderSize + 12);
    EXPECT_EQ(payloadHead, (std::vector<uint8_t>{3, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0}));
    EXPECT_TRUE(std::equal(kContent.begin(), kContent.end(), bytes.end() - 16));
    EXPECT_TRUE(std::equal(target.begin(), target.end(), bytes.end() - 8));
    struct stat info{};
    ASSERT_EQ(::stat(rig.Record().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // No temporary file is left beside the record and its lock.
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(rig.folder.Path()))
    {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"update-0000-01-00.0.rec", "update-0000-01-00.0.lock"}));

    // A new run (a new journal on the same folder, once the first ended)
    // finds it.
    rig.journal = nullptr;
    CRefPtr<CUpdateJournalImpl> later(new CUpdateJournalImpl(rig.folder.Path()));
    const std::optional<UpdateRecord> found = later->PendingRecord(rig.adapter);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->kind, UpdateWriteKind::Field);
    EXPECT_EQ(found->before, kContent);
    EXPECT_EQ(found->target, target);
    later->Finish(rig.adapter);
    EXPECT_FALSE(std::filesystem::exists(rig.Record()));
    EXPECT_EQ(later->PendingContent(rig.adapter), std::nullopt);
}

// The run reads and decodes an adapter's record once, and its own Begin and
// Finish keep what it read in step; a record refused once stays refused.
TEST(UpdateJournal, ARunReadsTheRecordOnceAndKeepsItInStep)
{
    JournalRig rig;
    rig.folder.WriteBytes(rig.Record().filename(), EncodeUpdateRecord(rig.Owner(), kContent));
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), kContent);
    rig.folder.WriteBytes(rig.Record().filename(), std::vector<uint8_t>{'g', 'o', 'n', 'e'});
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), kContent) << "not read again";

    const std::vector<uint8_t> next = {0x55, 0xAA, 0x02};
    rig.journal->Begin(rig.adapter, next);
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), next);
    rig.journal->Finish(rig.adapter);
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), std::nullopt);

    JournalRig spoilt;
    spoilt.folder.WriteBytes(spoilt.Record().filename(), std::vector<uint8_t>{'n', 'o'});
    const std::string refusal = "The update record " + spoilt.Record().string() +
                                " cannot be used: it is truncated. The display adapter is not "
                                "updated; the record is kept.";
    EXPECT_EQ(ErrorOf([&] { spoilt.journal->PendingContent(spoilt.adapter); }), refusal);
    spoilt.folder.WriteBytes(spoilt.Record().filename(),
                             EncodeUpdateRecord(spoilt.Owner(), kContent));
    EXPECT_EQ(ErrorOf([&] { spoilt.journal->PendingContent(spoilt.adapter); }), refusal);
}

// A record that cannot be used stops the adapter's update: the error names
// the record and why, and the file stays as it was.
TEST(UpdateJournal, RefusedRecordsAreNamedAndKept)
{
    struct Refusal
    {
        const char* reason;
        void (*spoil)(std::vector<uint8_t>& record);
    };
    const Refusal cases[] = {
        {"it is not an update record", [](std::vector<uint8_t>& r) { r[3] ^= 0x20; }},
        {"its format version is not known", [](std::vector<uint8_t>& r) { r[8] = 3; }},
        {"it is truncated", [](std::vector<uint8_t>& r) { r.resize(kUpdateRecordHeaderSize - 1); }},
        {"it is truncated", [](std::vector<uint8_t>& r) { r.pop_back(); }},
        {"it has bytes after its content", [](std::vector<uint8_t>& r) { r.push_back(0xFF); }},
        {"its content length is too large",
         [](std::vector<uint8_t>& r) { StoreLE(r, 21, kUpdateRecordMostPayload + 1, 4); }},
        {"it holds no content",
         [](std::vector<uint8_t>& r)
         {
             StoreLE(r, 21, 0, 4);
             r.resize(kUpdateRecordHeaderSize);
         }},
        {"its checksum does not match", [](std::vector<uint8_t>& r) { r.back() ^= 0x01; }},
        {"it belongs to another adapter", [](std::vector<uint8_t>& r) { r[14] = 2; }},
        {"it belongs to another adapter", [](std::vector<uint8_t>& r) { r[12] = 1; }},
        {"it belongs to another kind of adapter", [](std::vector<uint8_t>& r) { r[19] ^= 1; }},
        {"it belongs to another kind of adapter", [](std::vector<uint8_t>& r) { r[17] ^= 1; }},
    };
    for (const Refusal& c : cases)
    {
        SCOPED_TRACE(c.reason);
        JournalRig rig;
        std::vector<uint8_t> record = EncodeUpdateRecord(rig.Owner(), kContent);
        c.spoil(record);
        rig.folder.WriteBytes(rig.Record().filename(), record);

        EXPECT_EQ(ErrorOf([&] { rig.journal->PendingContent(rig.adapter); }),
                  "The update record " + rig.Record().string() + " cannot be used: " + c.reason +
                      ". The display adapter is not updated; the record is kept.");
        EXPECT_EQ(rig.RecordBytes(), record);
    }

    // The engine's own refusal (a record that does not explain the chip)
    // reads the same.
    JournalRig rig;
    EXPECT_EQ(ErrorOf([&] { rig.journal->Refuse(rig.adapter, "it does not match"); }),
              "The update record " + rig.Record().string() +
                  " cannot be used: it does not match. The display adapter is not updated; the "
                  "record is kept.");
}

// A record is read only as the file itself; the files the journal makes are
// never written through a link planted where they go; a state folder others
// can reach is refused whole.
TEST(UpdateJournal, LinksAndOpenFoldersAreRefused)
{
    {
        JournalRig rig;
        const std::string planted =
            rig.folder.WriteBytes("planted", EncodeUpdateRecord(rig.Owner(), kContent));
        std::filesystem::create_symlink(planted, rig.Record());
        EXPECT_EQ(ErrorOf([&] { rig.journal->PendingContent(rig.adapter); }),
                  "The update record " + rig.Record().string() +
                      " cannot be used: it is a link. The display adapter is not updated; the "
                      "record is kept.");
    }
    {
        JournalRig rig;
        std::filesystem::create_directory(rig.Record());
        EXPECT_EQ(ErrorOf([&] { rig.journal->PendingContent(rig.adapter); }),
                  "The update record " + rig.Record().string() +
                      " cannot be used: it is not a file. The display adapter is not updated; "
                      "the record is kept.");
    }
    {
        // Links where a temporary file or the lock could be expected.
        JournalRig rig;
        const std::vector<uint8_t> victim = {'k', 'e', 'e', 'p'};
        const std::string target = rig.folder.WriteBytes("victim", victim);
        std::filesystem::create_symlink(target, rig.Record().string() + ".tmp");
        rig.journal->Begin(rig.adapter, kContent);
        EXPECT_EQ(testkit::ReadFileBytes(target), victim);

        JournalRig locked;
        std::filesystem::create_symlink(target,
                                        locked.folder / "update-0000-01-00.0.lock");
        EXPECT_EQ(ErrorOf([&] { locked.journal->Begin(locked.adapter, kContent); }),
                  "Cannot open the lock file " +
                      (locked.folder / "update-0000-01-00.0.lock").string() +
                      ": Too many levels of symbolic links");
        EXPECT_EQ(testkit::ReadFileBytes(target), victim);
        EXPECT_FALSE(std::filesystem::exists(locked.Record()));
    }
    {
        testkit::CScratchDirectory scratch{"romvise-journal"};
        ::chmod(scratch.Path().c_str(), 0777);
        EXPECT_EQ(ErrorOf([&] { CRefPtr<CUpdateJournalImpl> open(new CUpdateJournalImpl(scratch)); }),
                  "The state folder " + scratch.Path().string() +
                      " cannot hold update records: other users can write to it.");
    }
}

TEST(UpdateJournal, BeginMovesARefusedRecordAsideInsteadOfWritingOverIt)
{
    JournalRig rig;
    const std::vector<uint8_t> spoilt = {'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'c'};
    rig.folder.WriteBytes(rig.Record().filename(), spoilt);
    rig.folder.WriteBytes(rig.Record().filename().string() + ".refused", spoilt);
    rig.journal->Begin(rig.adapter, kContent);
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), kContent);
    std::ifstream aside(rig.Record().string() + ".refused.1", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(aside), {}), spoilt);

    // A usable record is simply replaced.
    const std::vector<uint8_t> next = {0x55, 0xAA, 0x01};
    rig.journal->Begin(rig.adapter, next);
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), next);
    EXPECT_FALSE(std::filesystem::exists(rig.Record().string() + ".refused.2"));
}

TEST(UpdateJournal, WritesAndRemovalsThatFailThrowTheirIoError)
{
    JournalRig rig;
    // A folder in the record's place cannot be removed as a file.
    std::filesystem::create_directories(rig.Record() / "inside");
    try
    {
        rig.journal->Finish(rig.adapter);
        ADD_FAILURE() << "no exception";
    }
    catch (const io_error& error)
    {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot remove the update record " + rig.Record().string() +
                      ": Is a directory");
    }

    CRefPtr<CUpdateJournalImpl> nowhere(new CUpdateJournalImpl(rig.folder / "missing"));
    EXPECT_EQ(ErrorOf([&] { nowhere->Begin(rig.adapter, kContent); }),
              "Cannot open the lock file " +
                  (rig.folder / "missing" / "update-0000-01-00.0.lock").string() +
                  ": No such file or directory");
}

// While one run holds an adapter (from its first look at the record to
// Finish) another is refused at once; a run that died holds nothing.
TEST(UpdateJournal, OneRunAtATimePerAdapter)
{
    JournalRig rig;
    const std::string busy = "Another run is updating this display adapter (it holds " +
                             (rig.folder / "update-0000-01-00.0.lock").string() +
                             "). The display adapter is not updated.";
    CRefPtr<CUpdateJournalImpl> second(new CUpdateJournalImpl(rig.folder.Path()));
    EXPECT_EQ(rig.journal->PendingContent(rig.adapter), std::nullopt);
    EXPECT_EQ(ErrorOf([&] { second->PendingContent(rig.adapter); }), busy);
    rig.journal->Begin(rig.adapter, kContent);
    EXPECT_EQ(ErrorOf([&] { second->Begin(rig.adapter, kContent); }), busy);
    EXPECT_EQ(rig.RecordBytes(),
              EncodeUpdateRecord(rig.Owner(),
                                 UpdateRecord{UpdateWriteKind::Flash, kContent, std::nullopt}))
        << "untouched";
    // Finish removes the record only: the run keeps the adapter until its
    // session ends, so no other run takes it between two writes.
    rig.journal->Finish(rig.adapter);
    EXPECT_EQ(ErrorOf([&] { second->PendingContent(rig.adapter); }), busy) << "held after Finish";
    rig.journal->ReleaseAdapter(rig.adapter);
    EXPECT_EQ(second->PendingContent(rig.adapter), std::nullopt) << "free after Release";
    second = nullptr;

    // Another process begins an update and is killed before it finishes.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        CRefPtr<CUpdateJournalImpl> other(new CUpdateJournalImpl(rig.folder.Path()));
        other->Begin(rig.adapter, kContent);
        const char byte = 1;
        [[maybe_unused]] const ssize_t told = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    CRefPtr<CUpdateJournalImpl> third(new CUpdateJournalImpl(rig.folder.Path()));
    EXPECT_EQ(ErrorOf([&] { third->PendingContent(rig.adapter); }), busy);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(third->PendingContent(rig.adapter), kContent) << "the dead run's record, usable";
}

// Which chips a record explains, on a part of three 4-byte blocks.
TEST(UpdateJournal, RecordExplainsOnlyWhatAStoppedUpdateCanLeave)
{
    const std::vector<uint8_t> before = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                         0x99, 0xAA, 0xBB, 0xCC};
    const std::vector<uint8_t> after = {0x5A, 0x00, 0xF0, 0x0F, 0xC3, 0x3C, 0x96, 0x69,
                                        0x99, 0xAA, 0xBB, 0xCC};
    const std::vector<uint8_t> erased(4, 0xFF);
    auto chipOf = [](std::initializer_list<std::vector<uint8_t>> blocks)
    {
        std::vector<uint8_t> chip;
        for (const auto& block : blocks)
        {
            chip.insert(chip.end(), block.begin(), block.end());
        }
        return chip;
    };
    auto block = [](const std::vector<uint8_t>& bytes, size_t index)
    {
        return std::vector<uint8_t>(bytes.begin() + 4 * index, bytes.begin() + 4 * index + 4);
    };
    struct Case
    {
        const char* name;
        std::vector<uint8_t> chip;
        bool explained;
    };
    const Case cases[] = {
        {"the content before", before, true},
        {"the content after", after, true},
        {"first block written, second erased",
         chipOf({block(after, 0), erased, block(before, 2)}), true},
        {"second block partly programmed",
         chipOf({block(after, 0), {0xC3, 0x3C, 0xFF, 0xFF}, block(before, 2)}), true},
        {"a page of the next program landed in part",
         chipOf({block(after, 0), {0xC3, 0xFF, 0xFE, 0xFF}, block(before, 2)}), true},
        {"a bit cleared that the content after keeps set",
         chipOf({block(after, 0), {0xC3, 0x3C, 0x96, 0x68}, block(before, 2)}), false},
        {"another board's content", chipOf({block(before, 0), {0x55, 0x66, 0x77, 0x08},
                                            block(before, 2)}),
         false},
        {"a block on its way back to the content before",
         chipOf({block(after, 0), {0x55, 0x66, 0xFF, 0xFF}, block(before, 2)}), true},
        {"before and after mixed inside one block",
         chipOf({{0x11, 0x22, 0xF0, 0x0F}, block(before, 1), block(before, 2)}), false},
        {"a shorter chip", chipOf({block(before, 0), block(before, 1)}), false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UpdateRecordExplainsChip(c.chip, before, after, 4), c.explained);
    }
    // A record that names no target explains only the content before and
    // blocks on their way to it.
    EXPECT_TRUE(UpdateRecordExplainsChip(chipOf({erased, block(before, 1), block(before, 2)}),
                                         before, {}, 4));
    EXPECT_FALSE(UpdateRecordExplainsChip(after, before, {}, 4));
}

// A record of the first format (the content before only) reads as a
// whole-image write whose target is not known; a format-2 record whose
// lengths do not add up is refused.
TEST(UpdateJournal, FirstFormatRecordsReadAsWholeImageWrites)
{
    JournalRig rig;
    rig.folder.WriteBytes(rig.Record().filename(), EncodeUpdateRecord(rig.Owner(), kContent));
    const std::optional<UpdateRecord> old = rig.journal->PendingRecord(rig.adapter);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->kind, UpdateWriteKind::Flash);
    EXPECT_EQ(old->before, kContent);
    EXPECT_EQ(old->target, std::nullopt);

    // A format-2 file around a payload given byte by byte (sealed with its
    // checksum as the first format is).
    auto formatTwo = [&](std::vector<uint8_t> payload)
    {
        std::vector<uint8_t> bytes = EncodeUpdateRecord(rig.Owner(), payload);
        bytes[8] = 2;
        return bytes;
    };
    auto payloadOf = [&](uint8_t kind, uint8_t beforeLength, uint8_t targetLength)
    {
        std::vector<uint8_t> payload = {kind, 0, 0, 0, beforeLength, 0, 0, 0, targetLength, 0, 0, 0};
        payload.insert(payload.end(), kContent.begin(), kContent.end());
        payload.insert(payload.end(), kContent.begin(), kContent.end());
        return payload;
    };
    EXPECT_EQ(DecodeUpdateRecord(formatTwo(payloadOf(4, 8, 8)), rig.Owner()).refusal, "");
    EXPECT_EQ(DecodeUpdateRecord(formatTwo(payloadOf(4, 8, 7)), rig.Owner()).refusal,
              "its contents do not add up");
    EXPECT_EQ(DecodeUpdateRecord(formatTwo(payloadOf(9, 8, 8)), rig.Owner()).refusal,
              "its kind of write is not known");
}
