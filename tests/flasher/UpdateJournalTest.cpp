// Update record files: what Begin writes and a later run reads back, the
// records a reader refuses (named, kept, never written over), and the
// removal that must not fail silently.

#include "FlasherMachine.h"
#include "core/Exceptions.h"
#include "flasher/UpdateJournal.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testkit::ErrorOf;

namespace
{
// A journal in its own folder with the warnings it gave.
struct JournalRig
{
    JournalRig() : machine({{0x0800, 8, {}}}), adapter(machine.Adapter(0))
    {
        journal = new CUpdateJournalImpl(folder.Path(), [this](const std::string& warning)
                                         { warnings.push_back(warning); });
    }
    std::filesystem::path Record() const { return folder / "update-0000-01-00.0.rec"; }
    std::vector<uint8_t> RecordBytes() const
    {
        std::ifstream file(Record(), std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    UpdateRecordOwner Owner() const
    {
        return {0, 1, 0, 0, adapter->GetVendorID(), adapter->GetDeviceID()};
    }

    CFlasherMachine machine;
    CRefPtr<IDisplayAdapter> adapter;
    testkit::CScratchDirectory folder{"romvise-journal"};
    std::vector<std::string> warnings;
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
    rig.journal->Begin(rig.adapter, kContent);

    // The record's layout, which a later version of the program must read.
    const std::vector<uint8_t> bytes = rig.RecordBytes();
    ASSERT_EQ(bytes.size(), kUpdateRecordHeaderSize + kContent.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "RVUPDREC");
    const std::vector<uint8_t> fields(bytes.begin() + 8, bytes.begin() + 25);
    const uint16_t vendor = rig.adapter->GetVendorID();
    const uint16_t device = rig.adapter->GetDeviceID();
    EXPECT_EQ(fields, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 1, 0, 0, static_cast<uint8_t>(vendor),
                                            static_cast<uint8_t>(vendor >> 8),
                                            static_cast<uint8_t>(device),
                                            static_cast<uint8_t>(device >> 8), 8, 0, 0, 0}));
    EXPECT_TRUE(std::equal(kContent.begin(), kContent.end(), bytes.end() - 8));
    struct stat info{};
    ASSERT_EQ(::stat(rig.Record().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(rig.Record().string() + ".tmp"));

    // A new run (a new journal on the same folder) finds it.
    CRefPtr<CUpdateJournalImpl> later(new CUpdateJournalImpl(rig.folder.Path(), {}));
    EXPECT_EQ(later->PendingContent(rig.adapter), kContent);
    later->Finish(rig.adapter);
    EXPECT_FALSE(std::filesystem::exists(rig.Record()));
    EXPECT_EQ(later->PendingContent(rig.adapter), std::nullopt);
    EXPECT_TRUE(rig.warnings.empty());
}

TEST(UpdateJournal, RefusedRecordsAreNamedAndKept)
{
    struct Refusal
    {
        const char* reason;
        void (*spoil)(std::vector<uint8_t>& record);
    };
    const Refusal cases[] = {
        {"it is not an update record", [](std::vector<uint8_t>& r) { r[3] ^= 0x20; }},
        {"its format version is not known", [](std::vector<uint8_t>& r) { r[8] = 2; }},
        {"it is truncated", [](std::vector<uint8_t>& r) { r.resize(kUpdateRecordHeaderSize - 1); }},
        {"it is truncated", [](std::vector<uint8_t>& r) { r.pop_back(); }},
        {"it has bytes after its content", [](std::vector<uint8_t>& r) { r.push_back(0xFF); }},
        {"its content length is too large",
         [](std::vector<uint8_t>& r) { StoreLE(r, 21, kUpdateRecordMostContent + 1, 4); }},
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

        EXPECT_EQ(rig.journal->PendingContent(rig.adapter), std::nullopt);
        EXPECT_EQ(rig.journal->PendingContent(rig.adapter), std::nullopt);
        EXPECT_EQ(rig.warnings, std::vector<std::string>{"WARNING: The update record " +
                                                         rig.Record().string() +
                                                         " cannot be used: " + c.reason +
                                                         ". It is ignored."})
            << "once per record";
        EXPECT_EQ(rig.RecordBytes(), record);
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

    CRefPtr<CUpdateJournalImpl> nowhere(
        new CUpdateJournalImpl(rig.folder / "missing", [](const std::string&) {}));
    EXPECT_EQ(ErrorOf([&] { nowhere->Begin(rig.adapter, kContent); }),
              "Cannot write the update record " +
                  (rig.folder / "missing" / "update-0000-01-00.0.rec").string() +
                  ": No such file or directory");
    EXPECT_EQ(nowhere->PendingContent(rig.adapter), std::nullopt);
}
