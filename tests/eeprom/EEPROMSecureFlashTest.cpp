// The secure EEPROM: write ranges from the certificate information of the
// image verification, and whole writes through the microcode on a simulated
// adapter, whose chip model shows what was erased and programmed and when.

#include "FlashRig.h"
#include "KestrixRig.h"

#include "eeprom/EEPROMSecureFlashImpl.h"
#include "image/ROMImageGPUImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/kestrix/CertInfoBlockBuilder.h"
#include "testkit/kestrix/KestrixImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>

namespace
{
const char* const kNotChecked =
    "Image has not passed the certificate check. VBIOS Security Check failed";
const char* const kNotCovering =
    "VPDA write ranges do not cover the image exactly. VBIOS Security Check failed";
const char* const kMalformed =
    "Certificate information block is malformed. VBIOS Security Check failed";
const char* const kNotFinalized = "VPDA not finalized. VBIOS Security Check failed";
const char* const kNotTheChecked =
    "Image differs from the one that passed the certificate check. VBIOS Security Check failed";

using Ranges = std::vector<VpdaWriteRange>;

// Regions from a base of 0x4000: region 0 at 0x4000, region 1 at 0x5000,
// region 2 (0x100 bytes) at 0x4000 + region2Offset and region 3 (0x150 bytes)
// right behind it, so that regions 2 and 3 end on a 512-byte unit 0x400
// after region 2 starts.
CertInfoSpec Layout(uint32_t region2Offset = 0x2000)
{
    CertInfoSpec spec;
    spec.base = 0x4000;
    spec.regions = {
        {{0, 0x1000}, {0x1000, 0x1000}, {region2Offset, 0x100}, {region2Offset + 0x100, 0x150}}};
    return spec;
}

KestrixCertificateInformation InfoOf(const CertInfoSpec& spec)
{
    std::vector<uint8_t> bytes = BuildCertInfoBlock(spec);
    return {1, static_cast<uint32_t>(bytes.size()), bytes};
}

CertInfoSpec ThreeEntries()
{
    CertInfoSpec spec = Layout();
    spec.entries = {{2, 0, 0x200, 0}, {2, 0x100, 0x80, 0xE0}, {3, 0, 0x100, 0}};
    return spec;
}

TEST(SecureWriteRanges, CertificateInformationCutsTheSpanOrRefusesIt)
{
    CertInfoSpec overlapping = Layout();
    overlapping.entries = {{2, 0, 0x200, 0}, {2, 0x100, 0x200, 0}};
    CertInfoSpec startsPastBase = Layout();
    startsPastBase.entries = {{2, 0x100, 0x200, 0}};
    CertInfoSpec oneEntry = Layout();
    oneEntry.entries = {{2, 0, 0x200, 0}};
    CertInfoSpec longGap = Layout(0x6000);
    longGap.entries = {{2, 0, 0x200, 0}, {3, 0, 0x100, 0}};
    CertInfoSpec notFinalized = ThreeEntries();
    notFinalized.finalized = false;
    CertInfoSpec shortBlock = ThreeEntries();
    shortBlock.truncate = 12;

    struct Case
    {
        const char* name;
        KestrixCertificateInformation info;
        uint32_t offset;
        uint32_t count;
        Ranges expected;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"entries, gaps, regions 2 and 3 and the tail",
         InfoOf(ThreeEntries()),
         0,
         0xA000,
         {{0, 0x4000},
          {0x4000, 0x200},
          {0x4200, 0xF00},
          {0x5100, 0x80},
          {0x5180, 0xE80},
          {0x6000, 0x100},
          {0x6100, 0x300},
          {0x6400, 0x2000},
          {0x8400, 0x1C00}},
         ""},
        {"a long gap goes in 8 KiB pieces",
         InfoOf(longGap),
         0x4000,
         0x6400,
         {{0x4000, 0x200},
          {0x4200, 0x2000},
          {0x6200, 0x2000},
          {0x8200, 0x1E00},
          {0xA000, 0x100},
          {0xA100, 0x300}},
         ""},
        {"an empty span", InfoOf(ThreeEntries()), 0, 0, {}, ""},
        // Without the block the span is not cut here: it goes in pieces of
        // the data buffer.
        {"no verification", {}, 0, 0xA000, {}, ""},
        {"a verification without the block", {0, 0, {}}, 0, 0xA000, {}, ""},
        {"the block announced but empty", {1, 0, {}}, 0, 0xA000, {}, kMalformed},
        {"not finalized", InfoOf(notFinalized), 0, 0xA000, {}, kNotFinalized},
        {"entries cut off", InfoOf(shortBlock), 0, 0xA000, {}, kMalformed},
        {"overlapping entries", InfoOf(overlapping), 0, 0xA000, {}, kNotCovering},
        {"a hole before the first entry", InfoOf(startsPastBase), 0, 0xA000, {}, kNotCovering},
        {"entries run out before the span ends", InfoOf(oneEntry), 0, 0xA000, {}, kNotCovering},
        {"an entry past the span's end", InfoOf(ThreeEntries()), 0, 0x4100, {}, kNotCovering},
        {"a base past the span's end", InfoOf(ThreeEntries()), 0, 0x1000, {}, kNotCovering},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.error.empty())
        {
            EXPECT_EQ(ComputeVpdaWriteRanges(c.info, c.offset, c.count), c.expected);
        }
        else
        {
            EXPECT_EQ(testkit::ErrorOf([&] { ComputeVpdaWriteRanges(c.info, c.offset, c.count); }),
                      c.error);
        }
    }
}

// The image the secure writes carry, and the one the chip held before.
constexpr uint32_t kImageSize = 0xA000;

std::vector<uint8_t> Pattern(uint8_t seed)
{
    std::vector<uint8_t> bytes(kImageSize);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    }
    return bytes;
}

// The image the secure writes carry: the pattern behind an image signed under
// the test chain, whose signer the microcode's check accepts on a machine
// that trusts the test root.
std::vector<uint8_t> NewImage()
{
    static const std::vector<uint8_t> bytes = []
    {
        testkit::SignedImageSpec spec;
        spec.bodyLength = 0x1000;
        const std::vector<uint8_t> signedImage = testkit::BuildSignedImage(spec).bytes;
        std::vector<uint8_t> image = Pattern(0x10);
        std::copy(signedImage.begin(), signedImage.end(), image.begin());
        return image;
    }();
    return bytes;
}

// A GPU image without devinit tables, which the verification accepts as it
// is; the certificate information lands in the test's record, not the bytes.
class CVerifiableImage : public CROMImageGPUImpl
{
public:
    explicit CVerifiableImage(const std::vector<uint8_t>& bytes)
        : CROMImageGPUImpl(bytes.data(), static_cast<uint32_t>(bytes.size()))
    {
    }
    uint32_t GetInfoDword88() override { return 0; }
    int32_t MapExtendedOffset(int32_t) override { return -1; }
    int32_t GetInfoPointer7Offset() override { return -1; }
    void GetDevinitOffsets(int32_t& scriptTable, int32_t& tables) override
    {
        scriptTable = -1;
        tables = -1;
    }
    bool WriteCertInfoBlock(const uint8_t* bytes, uint32_t count) override
    {
        certInfo.assign(bytes, bytes + count);
        return true;
    }

    std::vector<uint8_t> certInfo;
};

// A Cendra1 (kind 9) or Dolvik1 (kind 12) adapter whose chip holds an old
// image, with its secure EEPROM identified through a loader whose image data
// buffer holds `bufferSize` bytes.
struct SecureRig
{
    // Without `certInfo` the verification returns no certificate information.
    explicit SecureRig(const std::optional<CertInfoSpec>& certInfo, uint32_t kind = 9,
                       uint32_t bufferSize = 0x8000)
        : rig(ConfigWith(certInfo), kind == 9 ? 0x0900 : 0x0C00, kind)
    {
        rig.contents->Write(0, Pattern(0x55));
        rig.scope.Machine().SetTrustedRoot(
            {testkit::TestRootContainer(), testkit::TestRootPassPhrase()});
        KestrixImageSpec spec;
        spec.dataBufferSize = bufferSize;
        KestrixLoadRequest request = rig.Request();
        request.userImage = true;
        request.fileName = folder.WriteBytes("ucode.bin", BuildKestrixImage(spec));
        loader = CreateKestrixLoader(request);
        eeprom = CreateEEPROM(rig.adapter, 3, false, false);
        eeprom->SetLoader(loader.get());
        EXPECT_TRUE(eeprom->Identify(nullptr, rig.log));
        image = CRefPtr<IROMImage>(new CVerifiableImage(NewImage()));
    }

    static SimKestrixConfig ConfigWith(const std::optional<CertInfoSpec>& certInfo)
    {
        SimKestrixConfig config;
        if (certInfo)
        {
            config.vvCertInfo = BuildCertInfoBlock(*certInfo);
        }
        return config;
    }

    uint32_t Verify() { return eeprom->VerifyImage(rig.adapter, image, nullptr, rig.log, false); }
    uint32_t Write(bool eraseAware = true, uint32_t address = 0)
    {
        return eeprom->WriteImage(rig.ui.get(), address, image.get(), 0, kImageSize, eraseAware,
                                  true, rig.log);
    }
    std::vector<uint8_t> Chip() const { return rig.contents->Read(0, kImageSize); }
    // The address and count of every program command.
    std::vector<VpdaWriteRange> Programs() const
    {
        std::vector<VpdaWriteRange> programs;
        for (const CSimKestrix::Command& command : rig.kestrix->Commands())
        {
            if (command.id == KR_UCODE_CMD_COMMAND_EWR)
            {
                programs.push_back({command.arguments[0], command.arguments[1]});
            }
        }
        return programs;
    }

    testkit::CScratchDirectory folder;
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader;
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image;
};

TEST(SecureEEPROM, AdaptersOfTheMicrocontrollerKindsGetTheSecureClass)
{
    KestrixRig rig({}, 0x0900, 9);
    EXPECT_TRUE(CreateEEPROM(rig.adapter, 3, false, false)->IsSecure());
    // Asked for no microcontroller, the adapter's ROM type chooses a direct
    // driver, if any.
    CRefPtr<IEEPROM> direct = CreateEEPROM(rig.adapter, 3, false, true);
    EXPECT_TRUE(!direct || !direct->IsSecure());
}

TEST(SecureEEPROM, KindNineErasesThenProgramsEachRangeAndReadsBackEqual)
{
    SecureRig secure(ThreeEntries());
    ASSERT_EQ(secure.Verify(), 0u);
    secure.rig.chip->ClearHistory();

    EXPECT_EQ(secure.Write(), kImageSize);

    EXPECT_EQ(secure.Chip(), NewImage());
    // Read back through the microcode, as the software-read flag asks.
    CRefPtr<IEEPROM> reader = CreateEEPROM(secure.rig.adapter, 3, true, false);
    reader->SetLoader(secure.loader.get());
    ASSERT_TRUE(reader->Identify(nullptr, secure.rig.log));
    CRefPtr<IROMImage> readBack = reader->ReadImage(nullptr, kImageSize, secure.rig.log);
    EXPECT_EQ(std::vector<uint8_t>(readBack->GetBuffer(), readBack->GetBuffer() + kImageSize),
              NewImage());
    // Every 4 KiB block of the span was erased, and all of that before the
    // first program.
    const auto& erases = secure.rig.chip->Erases();
    ASSERT_EQ(erases.size(), kImageSize / 0x1000);
    for (uint32_t i = 0; i < erases.size(); ++i)
    {
        EXPECT_EQ(erases[i], (SimFlashOperation{i * 0x1000, 0x1000}));
    }
    EXPECT_EQ(secure.rig.ui->messages.front(), "0:Erasing EEPROM");
    // One program command per range, at the range's own offset.
    std::vector<std::vector<uint32_t>> programs;
    for (const CSimKestrix::Command& command : secure.rig.kestrix->Commands())
    {
        if (command.id == KR_UCODE_CMD_COMMAND_EWR)
        {
            programs.push_back({command.arguments[0], command.arguments[1], command.arguments[2]});
        }
    }
    EXPECT_EQ(programs.size(), 9u);
    EXPECT_EQ(programs.front(), (std::vector<uint32_t>{0, 0x4000, 0}));
    EXPECT_EQ(programs[6], (std::vector<uint32_t>{0x6100, 0x300, 0}));
}
TEST(SecureEEPROM, RefusedWritesLeaveTheChipUntouched)
{
    CertInfoSpec notFinalized = ThreeEntries();
    notFinalized.finalized = false;
    CertInfoSpec withHole = ThreeEntries();
    withHole.entries[0].offset = 0x100;
    struct Case
    {
        const char* name;
        CertInfoSpec certInfo;
        uint32_t bufferSize;
        bool verify;
        std::string error;
        uint32_t address = 0;
    };
    const std::vector<Case> cases = {
        {"no verification", ThreeEntries(), 0x8000, false, kNotChecked},
        {"not finalized", notFinalized, 0x8000, true, kNotFinalized},
        {"ranges with a hole", withHole, 0x8000, true, kNotCovering},
        // The first range, 0x4000 bytes, does not fit the microcode's buffer.
        {"a range larger than the buffer", ThreeEntries(), 0x2000, true,
         "Cannot program page larger than buffer"},
        {"an address other than the image offset", ThreeEntries(), 0x8000, true,
         "Secure EEPROM writes go to the image's own offsets", 0x10000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SecureRig secure(c.certInfo, 9, c.bufferSize);
        if (c.verify)
        {
            ASSERT_EQ(secure.Verify(), 0u);
        }
        secure.rig.chip->ClearHistory();
        EXPECT_EQ(testkit::ErrorOf([&] { secure.Write(true, c.address); }), c.error);
        EXPECT_TRUE(secure.rig.chip->Erases().empty());
        EXPECT_TRUE(secure.rig.chip->Programs().empty());
        EXPECT_EQ(secure.Chip(), Pattern(0x55));
    }
}

// What lets a write through: a successful verification by the microcode, or
// the certificate gate's acceptance in software (the kinds whose images are
// checked in software). Without certificate information the span goes in
// pieces of the microcode's data buffer, the last one the rest.
TEST(SecureEEPROM, OnlyAnImageThatPassedTheCheckIsWritten)
{
    const Ranges pieces = {{0, 0x8000}, {0x8000, 0x2000}};
    struct Case
    {
        const char* name;
        std::function<void(SecureRig&)> check;
        Ranges programs; // empty: refused
    };
    const std::vector<Case> cases = {
        {"nothing checked", [](SecureRig&) {}, {}},
        {"accepted in software", [](SecureRig& s) { s.eeprom->SetSoftwareVerdict(s.image.get()); },
         pieces},
        {"accepted, then refused in software",
         [](SecureRig& s)
         {
             s.eeprom->SetSoftwareVerdict(s.image.get());
             s.eeprom->SetSoftwareVerdict(nullptr);
         },
         {}},
        {"verified without certificate information",
         [](SecureRig& s) { ASSERT_EQ(s.Verify(), 0u); }, pieces},
        {"accepted in software, then failed by the microcode",
         [](SecureRig& s)
         {
             s.eeprom->SetSoftwareVerdict(s.image.get());
             s.rig.kestrix->Config().errorCodes[KR_UCODE_CMD_COMMAND_VV] = 0x40;
             ASSERT_EQ(s.Verify(), 0x40u);
         },
         {}},
    };
    for (const uint32_t kind : {9u, 12u})
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + ", kind " + std::to_string(kind));
            SecureRig secure(std::nullopt, kind);
            c.check(secure);
            if (c.programs.empty())
            {
                EXPECT_EQ(testkit::ErrorOf([&] { secure.Write(); }), kNotChecked);
                EXPECT_TRUE(secure.rig.chip->Erases().empty());
                EXPECT_EQ(secure.Chip(), Pattern(0x55));
            }
            else
            {
                EXPECT_EQ(secure.Write(), kImageSize);
                EXPECT_EQ(secure.Chip(), NewImage());
            }
            EXPECT_EQ(secure.Programs(), c.programs);
        }
    }
}

// Each check of a secure write refuses on its own: every check before it
// passes, and the text is its own, so a check taken out shows as another
// check's text or as a write. Nothing is erased or programmed. (A write
// without an acceptance, to another address or through the verification's
// ranges is refused in RefusedWritesLeaveTheChipUntouched.)
TEST(SecureEEPROM, EachCheckOfTheWriteRefusesOnItsOwn)
{
    struct Case
    {
        const char* name;
        uint32_t bufferSize;
        uint32_t address;
        uint32_t offset; // in the image
        uint32_t count;
        std::function<void(SecureRig&)> before;
        std::string error;
    };
    const auto accept = [](SecureRig& s) { s.eeprom->SetSoftwareVerdict(s.image.get()); };
    const std::vector<Case> cases = {
        {"a microcode without a data buffer", 0, 0, 0, kImageSize, accept,
         "Cannot program page larger than buffer"},
        {"a span past the image buffer", 0x8000, kImageBufferSize - 0x1000,
         kImageBufferSize - 0x1000, 0x2000, accept, "Image range to write is outside the image"},
        {"a span past the part", 0x8000, 0x7F000, 0x7F000, 0x2000, accept,
         "Can only write within the identified device's size"},
        {"another image", 0x8000, 0, 0, kImageSize,
         [](SecureRig& s)
         {
             s.eeprom->SetSoftwareVerdict(s.image.get());
             s.image = CRefPtr<IROMImage>(new CVerifiableImage(Pattern(0x20)));
         },
         kNotTheChecked},
    };
    for (const uint32_t kind : {9u, 12u})
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + ", kind " + std::to_string(kind));
            SecureRig secure(std::nullopt, kind, c.bufferSize);
            c.before(secure);
            secure.rig.chip->ClearHistory();
            EXPECT_EQ(testkit::ErrorOf(
                          [&]
                          {
                              secure.eeprom->WriteImage(secure.rig.ui.get(), c.address,
                                                        secure.image.get(),
                                                        static_cast<int32_t>(c.offset), c.count,
                                                        true, true, secure.rig.log);
                          }),
                      c.error);
            EXPECT_TRUE(secure.rig.chip->Erases().empty());
            EXPECT_TRUE(secure.rig.chip->Programs().empty());
        }
    }
}

// An acceptance belongs to the image it was given for and to one write: the
// bytes it vouched for (the signed ranges of a signed image, the protected
// areas a verification named, or else the whole image) must be those
// written, and the first write uses it up. Every refusal comes before the
// first erase.
TEST(SecureEEPROM, AnAcceptanceLetsOneWriteOfTheCheckedBytesThrough)
{
    const testkit::SignedImage signedImage = testkit::BuildSignedImage();
    const uint32_t x86 = signedImage.layout.x86Block;
    struct Case
    {
        const char* name;
        uint32_t kind;
        bool signedImage;
        // Changes the image between its acceptance and the write (none: -1).
        int64_t changedByte;
        bool writesTwice;
        bool written;
    };
    const std::vector<Case> cases = {
        {"the accepted image", 9, false, -1, false, true},
        // The rig's image is signed over its first 0x1000 bytes.
        {"another image", 9, false, 0x800, false, false},
        {"a second write under one acceptance", 9, false, -1, true, false},
        {"a signed image", 9, true, -1, false, true},
        {"a signed image changed in a body range", 9, true, x86 + signedImage.layout.bodyByte,
         false, false},
        // The board's settings may change there without a new signature.
        {"a signed image changed in its preserved data", 9, true,
         x86 + signedImage.layout.preservedData, false, true},
        {"verified, changed in a protected area", 12, false, 0x4100, false, false},
        {"verified, changed between the protected areas", 12, false, 0x9000, false, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SecureRig secure(ThreeEntries(), c.kind);
        if (c.signedImage)
        {
            secure.image = signedImage.Image();
        }
        const uint32_t size = c.signedImage ? secure.image->GetLoadedSize() : kImageSize;
        if (c.kind == 9)
        {
            secure.eeprom->SetSoftwareVerdict(secure.image.get());
        }
        else
        {
            ASSERT_EQ(secure.Verify(), 0u);
        }
        if (c.changedByte >= 0)
        {
            const auto at = static_cast<int32_t>(c.changedByte);
            secure.image->SetByte(at, static_cast<uint8_t>(~secure.image->GetByte(at)));
        }
        const std::vector<uint8_t> before = secure.rig.contents->Read(0, size);
        auto write = [&]
        {
            return secure.eeprom->WriteImage(secure.rig.ui.get(), 0, secure.image.get(), 0, size,
                                             true, true, secure.rig.log);
        };
        if (c.writesTwice)
        {
            ASSERT_EQ(write(), size);
        }
        secure.rig.chip->ClearHistory();
        if (c.written)
        {
            EXPECT_EQ(write(), size);
            EXPECT_EQ(secure.rig.contents->Read(0, size),
                      std::vector<uint8_t>(secure.image->GetBuffer(),
                                           secure.image->GetBuffer() + size));
        }
        else
        {
            EXPECT_EQ(testkit::ErrorOf(write), c.writesTwice ? kNotChecked : kNotTheChecked);
            EXPECT_TRUE(secure.rig.chip->Erases().empty());
            EXPECT_TRUE(secure.rig.chip->Programs().empty());
            if (!c.writesTwice)
            {
                EXPECT_EQ(secure.rig.contents->Read(0, size), before);
            }
        }
    }
}

// A write changes no byte outside its span, whole erase blocks or not: the
// kind that erases first puts back what its erase took beside the span.
TEST(SecureEEPROM, NoByteOutsideTheWrittenSpanChanges)
{
    constexpr uint32_t kChecked = 0x10000;
    struct Span
    {
        uint32_t start;
        uint32_t count;
    };
    const std::vector<Span> spans = {
        {0, 0x9F00},      // ends inside a block
        {0x1100, 0x1000}, // starts and ends inside blocks
        {0x2000, 0x3000}, // whole blocks
    };
    for (const uint32_t kind : {9u, 12u})
    {
        for (const Span& span : spans)
        {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", span at " + std::to_string(span.start));
            SecureRig secure(std::nullopt, kind);
            secure.rig.contents->Write(kImageSize, std::vector<uint8_t>(kChecked - kImageSize, 0x3C));
            const std::vector<uint8_t> before = secure.rig.contents->Read(0, kChecked);
            secure.eeprom->SetSoftwareVerdict(secure.image.get());

            EXPECT_EQ(secure.eeprom->WriteImage(secure.rig.ui.get(), span.start,
                                                secure.image.get(),
                                                static_cast<int32_t>(span.start), span.count, true,
                                                true, secure.rig.log),
                      span.count);

            std::vector<uint8_t> wanted = before;
            const std::vector<uint8_t> image = NewImage();
            std::copy(image.begin() + span.start, image.begin() + span.start + span.count,
                      wanted.begin() + span.start);
            EXPECT_EQ(secure.rig.contents->Read(0, kChecked), wanted);
        }
    }
}

TEST(SecureEEPROM, LaterKindsEraseNothingThemselves)
{
    SecureRig secure(ThreeEntries(), 12);
    // The caller erased the chip: an erase-aware write only programs.
    secure.rig.contents->Fill(0, kImageSize, 0xFF);
    ASSERT_EQ(secure.Verify(), 0u);

    EXPECT_EQ(secure.Write(true), kImageSize);

    EXPECT_EQ(secure.Chip(), NewImage());
    EXPECT_TRUE(secure.rig.chip->Erases().empty());
    for (const CSimKestrix::Command& command : secure.rig.kestrix->Commands())
    {
        if (command.id == KR_UCODE_CMD_COMMAND_EWR)
        {
            EXPECT_EQ(command.arguments[2], 0u) << "no erase asked of the microcode";
        }
    }
}

// On a kind that erases nothing itself, over the old image: an erase-aware
// write leaves the erase to the microcode (flags 0) and lands the image; one
// that is not erase-aware asks for no erase (flags 1), so programming only
// clears bits of the old bytes.
TEST(SecureEEPROM, EraseAwareWritesLetTheMicrocodeEraseOthersProgramOnly)
{
    for (const bool eraseAware : {true, false})
    {
        SCOPED_TRACE(eraseAware);
        SecureRig secure(ThreeEntries(), 12);
        ASSERT_EQ(secure.Verify(), 0u);
        secure.rig.chip->ClearHistory();

        EXPECT_EQ(secure.Write(eraseAware), kImageSize);

        std::set<uint32_t> flags;
        for (const CSimKestrix::Command& command : secure.rig.kestrix->Commands())
        {
            if (command.id == KR_UCODE_CMD_COMMAND_EWR)
            {
                flags.insert(command.arguments[2]);
            }
        }
        EXPECT_EQ(flags, std::set<uint32_t>{eraseAware ? 0u : 1u});
        std::vector<uint8_t> wanted = NewImage();
        if (!eraseAware)
        {
            const std::vector<uint8_t> old = Pattern(0x55);
            for (size_t i = 0; i < wanted.size(); ++i)
            {
                wanted[i] &= old[i];
            }
        }
        EXPECT_EQ(secure.Chip(), wanted);
        EXPECT_EQ(secure.rig.chip->Erases().empty(), !eraseAware);
    }
}

TEST(SecureEEPROM, AnUnknownPartIsReportedAndRefusesChanges)
{
    KestrixRig rig({}, 0x0900, 9);
    rig.chip->SetIdAnswer(0x9F, {0x12, 0x34, 0x56});
    CRefPtr<CKestrixLoader> loader = rig.Load();
    CRefPtr<IEEPROM> eeprom = CreateEEPROM(rig.adapter, 3, false, false);
    eeprom->SetLoader(loader.get());
    EXPECT_FALSE(eeprom->Identify(nullptr, rig.log));
    CRefPtr<IROMImage> image = ImageOf(NewImage());
    EXPECT_EQ(testkit::ErrorOf([&] { eeprom->ErasePages(nullptr, 0, 0x1000, false, rig.log); }),
              "Display adapter's EEPROM does not support block erase");
    EXPECT_EQ(testkit::ErrorOf([&] { eeprom->SetProtection(true, rig.log); }),
              "Cannot program unknown EEPROM type");
    EXPECT_EQ(testkit::ErrorOf(
                  [&] { eeprom->WriteImage(nullptr, 0, image.get(), 0, 16, true, true, rig.log); }),
              "Cannot program unknown EEPROM type");
    EXPECT_TRUE(rig.chip->Erases().empty());
    EXPECT_TRUE(rig.chip->Programs().empty());
}

TEST(SecureEEPROM, WithoutAnAttachedLoaderNothingIsSent)
{
    KestrixRig rig({}, 0x0900, 9);
    CRefPtr<IEEPROM> eeprom = CreateEEPROM(rig.adapter, 3, false, false);
    EXPECT_EQ(eeprom->GetLoader(), nullptr);
    EXPECT_EQ(testkit::ErrorOf([&] { eeprom->Identify(nullptr, rig.log); }),
              "Error: no microcode loader for the display adapter's EEPROM");
}

TEST(SecureEEPROM, ProtectionThatDoesNotTakeFailsAfterThreeTries)
{
    SecureRig secure(ThreeEntries());
    secure.rig.chip->Faults().writeProtectPin = true;
    EXPECT_EQ(testkit::ErrorOf([&] { secure.eeprom->SetProtection(true, secure.rig.log); }),
              "Error: set EEPROM protection function failed");
    EXPECT_EQ(CountOf(secure.rig.logText.str(),
                      "Error: Enable EEPROM protection function failed, and retry..."),
              3u);
}

TEST(SecureEEPROM, AFailedProgramCommandFailsTheWrite)
{
    CertInfoSpec spec = ThreeEntries();
    SecureRig secure(spec);
    ASSERT_EQ(secure.Verify(), 0u);
    secure.rig.kestrix->Config().errorCodes[KR_UCODE_CMD_COMMAND_EWR] = 5;
    EXPECT_EQ(testkit::ErrorOf([&] { secure.Write(); }), "Error: EEPROM Program failed");
}

TEST(SecureEEPROM, ProtectionIsSetAndCheckedThroughTheMicrocode)
{
    SecureRig secure(ThreeEntries());
    secure.eeprom->SetProtection(true, secure.rig.log);
    EXPECT_EQ(secure.rig.chip->Status() & 0x0C, 0x0C);
    EXPECT_NE(secure.rig.logText.str().find("Succeed to enable write-protection after 00 try."),
              std::string::npos);
    ASSERT_EQ(secure.Verify(), 0u);
    EXPECT_EQ(testkit::ErrorOf([&] { secure.Write(); }),
              "Software write protection enabled, unable to erase EEPROM pages.");
    EXPECT_EQ(secure.Chip(), Pattern(0x55));

    secure.eeprom->SetProtection(false, secure.rig.log);
    EXPECT_EQ(secure.rig.chip->Status() & 0x0C, 0);
}
} // namespace
