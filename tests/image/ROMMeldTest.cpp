// Multi-image ROM files: round trips over the three versions, one file laid
// out by hand, the refusals of malformed files, and the rules of the meld's
// settings and image list.

#include "tests/image/ImageBytes.h"
#include "core/Exceptions.h"
#include "image/IROMMeld.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"
#include "testkit/varnex/CapturedLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using testkit::CGpuImageBuilder;
using testkit::CKrromWriter;
using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> BoardImage(uint16_t boardId)
{
    testkit::InfoToken info;
    info.boardId = boardId;
    return CGpuImageBuilder()
        .Block(CGpuImageBuilder::kX86, 0x1000)
        .Kpde()
        .Info(info)
        .Block(CGpuImageBuilder::kEfi, 0x800)
        .Build();
}

std::vector<uint8_t> Unrelated(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    bytes[0] = 0x11; // a GPU image by its first bytes
    return bytes;
}

std::vector<uint8_t> Written(IROMMeld* meld, CLog* log = nullptr)
{
    std::ostringstream out(std::ios::binary);
    meld->WriteToStream(out, log);
    const std::string text = out.str();
    return {text.begin(), text.end()};
}

CRefPtr<IROMMeld> ReadBack(const std::vector<uint8_t>& file, CLog* log = nullptr)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->ReadFromBuffer(file.data(), static_cast<uint32_t>(file.size()), log);
    return meld;
}

void AddNamed(IROMMeld* meld, const std::vector<uint8_t>& bytes, const std::string& name,
              const std::string& board, const std::vector<VFieldSelection>& selections)
{
    CRefPtr<IROMImage> image = FromBytes(bytes);
    image->SetFileName(name);
    image->SetBoardName(board);
    for (const VFieldSelection& s : selections)
    {
        image->AddSelection(s);
    }
    meld->AddImage(image);
}

// A file of this many one-byte images, 15 bytes each.
std::vector<uint8_t> ManyImages(size_t count)
{
    CKrromWriter writer(0x103);
    for (size_t i = 0; i < count; ++i)
    {
        writer.Full({0x11});
    }
    return writer.Build();
}

// A small master and this many 3 MiB images rebuilt from it by one-byte
// deltas.
std::vector<uint8_t> LargeDeltas(size_t count)
{
    CKrromWriter writer(0x103);
    writer.Full(Unrelated(0x40));
    for (size_t i = 0; i < count; ++i)
    {
        writer.Delta(0, kImageBufferSize, testkit::DeltaRecords({{0x10, {0xEE}}}));
    }
    return writer.Build();
}

#if !defined(__SANITIZE_ADDRESS__)
// (The address sanitizer reserves far more address space than any limit
// would leave.)
// Runs the work in a child process whose address space may grow by at most
// `room` bytes, and returns the text of the error it ended with ("(no
// error)" when none).
std::string ErrorInChildWithAddressSpace(size_t room, const std::function<void()>& work)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
    {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0)
    {
        close(pipeEnds[0]);
        std::ifstream statm("/proc/self/statm");
        size_t pages = 0;
        statm >> pages;
        const rlimit limit{pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + room,
                           RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &limit);
        const std::string error = ErrorOf(work);
        const ssize_t written = write(pipeEnds[1], error.data(), error.size());
        _exit(written == static_cast<ssize_t>(error.size()) ? 0 : 1);
    }
    close(pipeEnds[1]);
    std::string error;
    char chunk[256];
    for (ssize_t got; (got = read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
    {
        error.append(chunk, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? error
               : "child ended with status " + std::to_string(status);
}
#endif

struct VersionCase
{
    uint32_t version;
    std::vector<VFieldSelection> selections; // each image's selections
    std::vector<VFieldSelection> readBack;   // as the reader gives them back
};

const std::vector<VersionCase>& VersionCases()
{
    static const std::vector<VersionCase> cases = {
        {0x101, {}, {}},
        {0x102, {{7, 1, 2}}, {{0, 1, 2}}},
        {0x103, {{7, 1, 2}, {9, 0x10, 0xFFFFFFFF}}, {{7, 1, 2}, {9, 0x10, 0xFFFFFFFF}}},
    };
    return cases;
}
} // namespace

// Three images in each version: a master, a delta of it, an unrelated image
// that becomes the next master, and a delta of that one.
TEST(ROMMeldTest, RoundTripsEveryVersion)
{
    const std::vector<std::vector<uint8_t>> images = {
        BoardImage(0x0E2B), BoardImage(0x0E2C), Unrelated(0x900), Unrelated(0x900)};
    std::vector<std::vector<uint8_t>> expected = images;
    expected[3][0x123] ^= 0x5A;
    for (const VersionCase& c : VersionCases())
    {
        SCOPED_TRACE(c.version);
        CRefPtr<IROMMeld> meld = IROMMeld::Create();
        meld->SetVersion(c.version);
        for (size_t i = 0; i < expected.size(); ++i)
        {
            AddNamed(meld.get(), expected[i], "img" + std::to_string(i),
                     "Board " + std::to_string(i), c.selections);
        }
        testkit::CapturedLog written;
        const std::vector<uint8_t> file = Written(meld.get(), &written.log);
        // Images 1 and 3 are deltas of the masters before them.
        EXPECT_NE(written.text.str().find("Master Index: 0\n"), std::string::npos);
        EXPECT_NE(written.text.str().find("Master Index: 2\n"), std::string::npos);
        EXPECT_LT(file.size(), 2 * images[0].size() + 2 * images[2].size());

        CRefPtr<IROMMeld> back = ReadBack(file);
        ASSERT_EQ(back->GetImageCount(), expected.size());
        for (uint32_t i = 0; i < expected.size(); ++i)
        {
            CRefPtr<IROMImage> image = back->GetImage(i);
            EXPECT_EQ(BytesOf(image.get()), expected[i]) << "image " << i;
            EXPECT_EQ(std::string(image->GetFileNameCStr()), "img" + std::to_string(i));
            EXPECT_EQ(image->GetBoardName(), "Board " + std::to_string(i));
            ASSERT_EQ(image->GetSelectionCount(), c.readBack.size());
            for (uint32_t s = 0; s < c.readBack.size(); ++s)
            {
                EXPECT_EQ(image->GetSelection(s).vfieldId, c.readBack[s].vfieldId);
                EXPECT_EQ(image->GetSelection(s).minimum, c.readBack[s].minimum);
                EXPECT_EQ(image->GetSelection(s).maximum, c.readBack[s].maximum);
            }
        }
    }
}

TEST(ROMMeldTest, SingleImageAndFilesRoundTrip)
{
    testkit::CScratchDirectory folder;
    const std::string path = (folder / "pack.rom").string();
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetSelectionType(2);
    CRefPtr<IVFieldTable> table = meld->GetVFieldTable();
    table->AddRegister({0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    table->AddField({7, 0xE4, 0x00});
    AddNamed(meld.get(), BoardImage(1), "", "", {{7, 0, 3}});
    meld->WriteToFile(path, nullptr);

    CRefPtr<IROMMeld> back = IROMMeld::Create();
    back->ReadFromFile(path, nullptr);
    ASSERT_EQ(back->GetImageCount(), 1u);
    EXPECT_EQ(BytesOf(back->GetImage(0).get()), BoardImage(1));
    EXPECT_STREQ(back->GetImage(0)->GetFileNameCStr(), "Image[0]");
    const SelectionCriteria selection = back->GetSelection();
    EXPECT_EQ(selection.kind, 2);
    EXPECT_EQ(selection.fields->GetFieldCount(), 1u);
    EXPECT_EQ(selection.fields->GetRegisterCount(), 1u);

    EXPECT_EQ(ErrorOf([&] { back->ReadFromFile((folder / "missing.rom").string(), nullptr); }),
              "Cannot open file: " + (folder / "missing.rom").string());
    EXPECT_EQ(ErrorOf([&] { meld->WriteToFile((folder / "no/dir.rom").string(), nullptr); }),
              "Cannot create file: " + (folder / "no/dir.rom").string());

    // A link in the file's place is refused, and what it points to kept.
    const std::string target = folder.WriteText("target.rom", "kept");
    const std::string link = (folder / "link.rom").string();
    std::filesystem::create_symlink(target, link);
    EXPECT_EQ(ErrorOf([&] { meld->WriteToFile(link, nullptr); }), "Cannot create file: " + link);
    std::ifstream kept(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
}

// The 1.03 layout as the format describes it, written out field by field.
TEST(ROMMeldTest, WritesVersion103ByteForByte)
{
    const std::vector<uint8_t> a = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                    0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    std::vector<uint8_t> b = a;
    b[3] = 0xAA;
    b[4] = 0xBB;
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetSelectionType(2);
    AddNamed(meld.get(), a, "A", "Bd", {{7, 1, 0x0102}});
    AddNamed(meld.get(), b, "B", "", {});

    const std::vector<uint8_t> expected = {
        'K', 'R', 'R', 'O', 'M', 0, 0, 0, // key
        0x03, 0x01, 0, 0,                 // version 1.03
        0x02, 0, 0, 0,                    // selection type
        0x10, 13, 0, 0x10, 3, 0,          // empty VField tables
        // record 0: full, image size 16, stored 16, master 0xFFFF
        16, 0, 0, 0, 16, 0, 0, 0, 0x01, 0xFF, 0xFF, 1, 2, 1, 'A', 'B', 'd',
        7, 0x01, 0, 0, 0, 0x02, 0x01, 0, 0, // selection {7, 1, 0x102}
        0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
        0x0E, 0x0F,
        // record 1: delta of image 0, image size 16, stored 4, last
        16, 0, 0, 0, 4, 0, 0, 0, 0x02, 0x00, 0x00, 1, 0, 0, 'B',
        3, 2, 0xAA, 0xBB, // skip 3, two bytes
    };
    const std::vector<uint8_t> file = Written(meld.get());
    EXPECT_EQ(file, expected);
    // The reader takes the same bytes back to the two images.
    CRefPtr<IROMMeld> back = ReadBack(expected);
    ASSERT_EQ(back->GetImageCount(), 2u);
    EXPECT_EQ(BytesOf(back->GetImage(0).get()), a);
    EXPECT_EQ(BytesOf(back->GetImage(1).get()), b);
    EXPECT_EQ(back->GetImage(0)->GetBoardName(), "Bd");
}

// Files written by the test kit's own writer, in every version.
TEST(ROMMeldTest, ReadsFilesOfEveryVersion)
{
    const std::vector<uint8_t> master = Unrelated(0x400);
    std::vector<uint8_t> patched = master;
    patched[0x10] = 0xEE;
    patched[0x300] = 0xDD;
    patched.resize(0x500, 0x77);
    std::vector<uint8_t> delta = testkit::DeltaRecords(
        {{0x10, {0xEE}}, {0x300, {0xDD}}, {0x400, std::vector<uint8_t>(0x100, 0x77)}});
    for (uint32_t version : {0x101u, 0x102u, 0x103u})
    {
        SCOPED_TRACE(version);
        CKrromWriter writer(version);
        writer.Full(master, "M", "Master").Selection(5, 1, 9);
        writer.Delta(0, 0x500, delta, "P", "Patched").Selection(5, 10, 19);
        CRefPtr<IROMMeld> meld = ReadBack(writer.Build());
        ASSERT_EQ(meld->GetImageCount(), 2u);
        EXPECT_EQ(BytesOf(meld->GetImage(0).get()), master);
        EXPECT_EQ(BytesOf(meld->GetImage(1).get()), patched);
        EXPECT_EQ(meld->GetImage(1)->GetBoardName(), "Patched");
        EXPECT_EQ(meld->GetImage(1)->GetSelectionCount(), version == 0x101 ? 0u : 1u);
    }
}

TEST(ROMMeldTest, LastRecordFlagEndsOnlyVersion103)
{
    const std::vector<uint8_t> image = Unrelated(0x40);
    for (uint32_t version : {0x101u, 0x103u})
    {
        SCOPED_TRACE(version);
        CKrromWriter writer(version);
        writer.Full(image, "one").Flags(0x03).Full(image, "two").Trailer({});
        std::vector<uint8_t> file = writer.Build();
        if (version == 0x103)
        {
            file.insert(file.end(), {0xDE, 0xAD}); // left unread after the last record
        }
        EXPECT_EQ(ReadBack(file)->GetImageCount(), version == 0x101 ? 2u : 1u);
    }
}

// Every malformed field and every cut stream, with the text the user sees.
TEST(ROMMeldTest, RefusesMalformedFiles)
{
    const std::vector<uint8_t> image = Unrelated(0x40);
    const std::vector<uint8_t> oneRecord = CKrromWriter(0x103).Full(image, "A").Build();
    auto cut = [](std::vector<uint8_t> bytes, size_t less)
    {
        bytes.resize(bytes.size() - less);
        return bytes;
    };
    const std::string endedInRecord1 = "Error reading file: the stream ended inside record 1";
    struct Case
    {
        const char* name;
        std::vector<uint8_t> file;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"key", CKrromWriter(0x103).Key("KRRXM").Full(image).Build(),
         "Specified file is not a MEGA ROM file"},
        {"key before version", CKrromWriter(0x999).Key("XRROM").Build(),
         "Specified file is not a MEGA ROM file"},
        {"version", CKrromWriter(0x104).Full(image).Build(), "Unrecognized MEGA ROM file version"},
        {"short header", cut(oneRecord, oneRecord.size() - 10), "Error reading file"},
        {"name length 129", CKrromWriter(0x103).Full(image, "A").NameLengthField(129).Build(),
         "Corrupt image header"},
        {"selection count 21",
         CKrromWriter(0x103).Full(image).SelectionCountField(21).Build(),
         "Corrupt image header"},
        {"1.03 image size", CKrromWriter(0x103).Full(image).ImageSizeField(0x300001).Build(),
         "Corrupt image header"},
        {"1.01 stored size", CKrromWriter(0x101).Full(image).StoredSizeField(0x300001).Build(),
         "Corrupt image header"},
        {"1.02 image size", CKrromWriter(0x102).Full(image).ImageSizeField(0x400000).Build(),
         "Corrupt image header"},
        {"no master", CKrromWriter(0x103).Full(image).Delta(1, 0x40, {0, 1, 9}).Build(),
         "Delta image with no master image in file"},
        {"full size mismatch", CKrromWriter(0x103).Full(image).StoredSizeField(0x3F).Build(),
         "Image size mismatch for master image"},
        {"delta past image", CKrromWriter(0x103).Full(image).Delta(0, 0x40, {0x40, 1, 9}).Build(),
         "Patch corrupted"},
        {"delta past its size",
         CKrromWriter(0x103).Full(image).Delta(0, 0x40, {0, 2, 9, 9}).StoredSizeField(3).Trailer(
             {0}).Build(),
         "Patch corrupted"},
        {"1.01 record cut",
         cut(CKrromWriter(0x101).Full(image).Full(image).Build(), 0x40 + 100), endedInRecord1},
        {"1.02 record cut",
         cut(CKrromWriter(0x102).Full(image).Full(image).Build(), 0x40 + 100), endedInRecord1},
        {"1.03 record cut",
         cut(CKrromWriter(0x103).Full(image).Full(image, "named").Build(), 0x40 + 3),
         endedInRecord1},
        {"1.01 body cut", cut(CKrromWriter(0x101).Full(image).Full(image).Build(), 1),
         endedInRecord1},
        {"1.03 delta cut",
         cut(CKrromWriter(0x103).Full(image).Delta(0, 0x40, {0, 2, 9, 9}).Build(), 1),
         endedInRecord1},
        {"vfield table cut", {'K', 'R', 'R', 'O', 'M', 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0x10, 13, 2},
         "Error reading VField table from stream"},
        {"33 images", ManyImages(33), "The ROM file holds more than 32 images"},
        {"images of more than 32 MiB", LargeDeltas(11),
         "The images of the ROM file take more than 32 MiB"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMMeld> meld = IROMMeld::Create();
        EXPECT_EQ(ErrorOf([&] { meld->ReadFromBuffer(c.file.data(),
                                                    static_cast<uint32_t>(c.file.size()),
                                                    nullptr); }),
                  c.error);
    }
    // The limits themselves are accepted.
    const std::string name128(128, 'n');
    CRefPtr<IROMMeld> meld = ReadBack(CKrromWriter(0x103).Full(image, name128).Build());
    EXPECT_EQ(std::string(meld->GetImage(0)->GetFileNameCStr()), name128);
    EXPECT_EQ(ReadBack(ManyImages(32))->GetImageCount(), 32u);
    EXPECT_EQ(ReadBack(LargeDeltas(10))->GetImageCount(), 11u);
}

#if !defined(__SANITIZE_ADDRESS__)
// A file of a few kilobytes that names a thousand one-byte images is refused
// in a process whose address space leaves room for a package's images only.
TEST(ROMMeldTest, ASmallFileOfManyImagesCannotExhaustMemory)
{
    const std::vector<uint8_t> file = ManyImages(1000);
    ASSERT_LT(file.size(), 16384u);
    const std::string error = ErrorInChildWithAddressSpace(
        256u << 20,
        [&]
        {
            IROMMeld::Create()->ReadFromBuffer(file.data(), static_cast<uint32_t>(file.size()),
                                               nullptr);
        });
    EXPECT_EQ(error, "The ROM file holds more than 32 images");
}
#endif

TEST(ROMMeldTest, ImageListAndSettings)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->AddImage(FromBytes(Unrelated(8)));
    meld->AddImage(FromBytes(Unrelated(8)));
    EXPECT_STREQ(meld->GetImage(0)->GetFileNameCStr(), "Image[0]");
    EXPECT_STREQ(meld->GetImage(1)->GetFileNameCStr(), "Image[1]");
    EXPECT_EQ(ErrorOf([&] { meld->GetImage(2); }), "MEGA ROM image index 2 is past the last image");
    meld->ReplaceImage(FromBytes(Unrelated(9)), 5); // past the end: nothing
    EXPECT_EQ(meld->GetImageCount(), 2u);
    EXPECT_EQ(meld->GetVarnexVersion(), "N/A");

    meld->SetSelectionType(2);
    EXPECT_EQ(ErrorOf([&] { meld->SetVersion(0x101); }),
              "Only the normal selection type (0) is allowed with version 1.01 MEGA ROM files");
    EXPECT_EQ(ErrorOf([&] { meld->SetSelectionType(3); }),
              "Only the normal selection type (0) is allowed with version 1.01 MEGA ROM files");
    meld->SetSelectionType(0);
    meld->GetVFieldTable()->AddField({7, 0xE4, 0});
    EXPECT_EQ(ErrorOf([&] { meld->SetVersion(0x101); }),
              "VFields cannot be used with version 1.01 MEGA ROM files");
}

TEST(ROMMeldTest, WriterRefusesSelectionsTheVersionCannotHold)
{
    struct Case
    {
        uint32_t version;
        std::vector<VFieldSelection> selections;
        std::string name;
        std::string error;
    };
    const std::vector<Case> cases = {
        {0x101, {{1, 2, 3}}, "a", "Version 1.01 MEGA ROM files must not have any selection criteria"},
        {0x102, {}, "a", "Version 1.02 MEGA ROM files must have one and only one selection criteria"},
        {0x101, {}, std::string(32, 'x'),
         "Image name \"" + std::string(32, 'x') + "\" is too long for this MEGA ROM file version"},
        {0x103, std::vector<VFieldSelection>(21, {1, 2, 3}), "a",
         "Image \"a\" has more than 20 selection criteria"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.error);
        CRefPtr<IROMMeld> meld = IROMMeld::Create();
        meld->SetVersion(c.version);
        AddNamed(meld.get(), Unrelated(8), c.name, "", c.selections);
        EXPECT_EQ(ErrorOf([&] { Written(meld.get()); }), c.error);
    }
}

// A meld whose certificate check the test decides.
class CCheckedMeld : public CROMMeldImpl
{
public:
    bool accept = true;
    bool VerifyAllCertificates(CLog*) override { return accept; }
    bool VerifyImageCertificate(IROMImage*, CLog*) override { return accept; }
};

// A read that fails, at whatever point, leaves the images, the settings and
// the VField table of the file read before.
TEST(ROMMeldTest, AFailedReadLeavesTheMeldAsItWas)
{
    const std::vector<uint8_t> master = Unrelated(0x400);
    const std::vector<uint8_t> held =
        CKrromWriter(0x103)
            .SelectionType(2)
            .VFieldRegister({0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
            .VFieldField({7, 0xE4, 0x00})
            .Full(master, "M", "Master")
            .Selection(7, 0, 3)
            .Delta(0, 0x400, testkit::DeltaRecords({{0x10, {0xEE}}}), "P")
            .Build();
    std::vector<uint8_t> patched = master;
    patched[0x10] = 0xEE;

    const std::vector<uint8_t> image = Unrelated(0x40);
    std::vector<uint8_t> cutInSecondImage = CKrromWriter(0x101).Full(image).Full(image).Build();
    cutInSecondImage.resize(cutInSecondImage.size() - 1);
    struct Case
    {
        const char* name;
        std::vector<uint8_t> file;
        bool runtimePackMode;
        bool certified;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"not a KRROM file", CKrromWriter(0x103).Key("KRRXM").Full(image).Build(), false, true,
         "Specified file is not a MEGA ROM file"},
        {"second record has no master",
         CKrromWriter(0x102).SelectionType(1).Full(image).Selection(0, 1, 2)
             .Delta(1, 0x40, {0, 1, 9}).Selection(0, 3, 4).Build(),
         false, true, "Delta image with no master image in file"},
        {"second image cut", cutInSecondImage, false, true,
         "Error reading file: the stream ended inside record 1"},
        {"certificates refused", CKrromWriter(0x103).Full(image, "new").Build(), false, false,
         "Error: Image failed certification check."},
        {"pack image refused", BoardImage(9), true, false, " Image failed certification check."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<CCheckedMeld> meld(new CCheckedMeld());
        meld->ReadFromBuffer(held.data(), static_cast<uint32_t>(held.size()), nullptr);
        const CRefPtr<IVFieldTable> table = meld->GetVFieldTable();

        meld->accept = c.certified;
        meld->SetRuntimePackMode(c.runtimePackMode);
        EXPECT_EQ(ErrorOf([&] { meld->ReadFromBuffer(c.file.data(),
                                                    static_cast<uint32_t>(c.file.size()),
                                                    nullptr); }),
                  c.error);

        ASSERT_EQ(meld->GetImageCount(), 2u);
        EXPECT_EQ(BytesOf(meld->GetImage(0).get()), master);
        EXPECT_EQ(BytesOf(meld->GetImage(1).get()), patched);
        EXPECT_STREQ(meld->GetImage(0)->GetFileNameCStr(), "M");
        EXPECT_EQ(meld->GetImage(0)->GetSelectionCount(), 1u);
        const SelectionCriteria selection = meld->GetSelection();
        EXPECT_EQ(selection.kind, SelectionCriteria::Speedometer);
        EXPECT_EQ(selection.fields.get(), table.get());
        EXPECT_EQ(table->GetFieldCount(), 1u);
        EXPECT_EQ(table->GetRegisterCount(), 1u);
    }
}
