#include "core/Log.h"
#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/UefiBuilder.h"
#include "testkit/varnex/CapturedLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>

using testkit::CGpuImageBuilder;
using testkit::CUefiDriverBuilder;
using testkit::EfiPosition;
using testkit::ErrorOf;
using testkit::UefiGpuImage;

namespace
{
constexpr uint32_t kUpdatableVersion = 0x80011000;

// A signed driver whose build record carries the version given; noise makes
// the compressed driver as large as wanted.
std::vector<uint8_t> Driver(const std::string& version, const std::string& signer,
                            size_t noiseBytes = 0, bool pe32Plus = false)
{
    std::mt19937 random(static_cast<uint32_t>(noiseBytes));
    std::vector<uint8_t> noise(noiseBytes);
    for (uint8_t& b : noise)
    {
        b = static_cast<uint8_t>(random());
    }
    return CUefiDriverBuilder()
        .Pe32Plus(pe32Plus)
        .BuildInfo(testkit::UefiBuildRecord(
            {{"VER", version}, {"DAT", "03.04.2026"}, {"CHG", "00042"}, {"VAR", "0204"}}))
        .Extra(noise)
        .Certificate(2, testkit::SignedDataFor(signer))
        .Build();
}

std::vector<uint8_t> Bytes(const CGpuImageBuilder& builder)
{
    return builder.Build();
}

CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The image's bytes from the buffer start, as a file of it would hold them.
std::vector<uint8_t> RawBytes(IROMImage* image)
{
    const bool mode = image->GetOffsetMode();
    image->SetOffsetMode(false);
    std::vector<uint8_t> bytes(image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize());
    image->SetOffsetMode(mode);
    return bytes;
}

struct ChainBlock
{
    int32_t offset;
    uint32_t length;
    uint8_t sum;
};

std::vector<ChainBlock> ChainOf(IROMImage* image)
{
    std::vector<ChainBlock> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 16; block = image->NextPCIBlock(block))
    {
        const uint32_t length = image->GetPCIBlockLength(block);
        const uint8_t* start = image->GetBuffer() + block;
        blocks.push_back({block, length,
                          static_cast<uint8_t>(std::accumulate(start, start + length, 0u))});
    }
    return blocks;
}
} // namespace

TEST(GpuUefiTest, SupportFollowsWhereTheEfiBlockStandsInTheChain)
{
    const std::vector<uint8_t> driver = Driver("1.0", "Signer");
    struct Case
    {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string support;
    };
    const std::vector<Case> cases = {
        {"public", Bytes(UefiGpuImage(EfiPosition::Public, driver)), "Yes"},
        {"placeholder", Bytes(UefiGpuImage(EfiPosition::Placeholder, driver)), "Placeholder"},
        {"hidden behind the last image", Bytes(UefiGpuImage(EfiPosition::Hidden, driver)),
         "No (hidden)"},
        {"no EFI block", Bytes(UefiGpuImage(EfiPosition::None, driver)), "No"},
        {"public after a placeholder",
         Bytes(UefiGpuImage(EfiPosition::Placeholder, driver)
                   .LastImage(false)
                   .Block(CGpuImageBuilder::kEfi, 0x200)
                   .Payload(testkit::EfiPayload(driver))),
         "Yes"},
        {"with an init-from-ROM segment", Bytes(UefiGpuImage(EfiPosition::Public, driver, 0x400)),
         "Yes"},
        {"no image", {}, "No"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = ImageOf(c.bytes);
        image->SetOffsetMode(false);
        EXPECT_EQ(image->GetUEFISupport(), c.support);
        EXPECT_FALSE(image->GetOffsetMode());
    }

    // A chain whose second block lost its mark, and one whose data
    // structure is gone.
    const std::vector<uint8_t> noMark =
        Bytes(UefiGpuImage(EfiPosition::Public, driver).Patch(0, {0x00, 0x00}));
    EXPECT_EQ(ErrorOf([&] { ImageOf(noMark)->GetUEFISupport(); }),
              "PCI Block chain corrupted - PCI Expansion ROM Header not found - "
              "GetUEFISupport() failed");
    const std::vector<uint8_t> noPcir =
        Bytes(UefiGpuImage(EfiPosition::Public, driver).PcirSignature("XXXX"));
    EXPECT_EQ(ErrorOf([&] { ImageOf(noPcir)->GetUEFISupport(); }),
              "PCI Block Corrupted - PCI Data Structure not found - GetUEFISupport() failed");
}

TEST(GpuUefiTest, UefiAnswersComeFromTheDriversBuildRecordAndSignature)
{
    struct Case
    {
        const char* name;
        EfiPosition position;
        bool pe32Plus;
        std::string version;
        std::string variant;
        std::string features;
        std::vector<std::string> signers;
    };
    const std::vector<Case> cases = {
        {"public PE32", EfiPosition::Public, false, "5.1 (03.04.2026 @ 00042 )", "0x0204",
         " Cendra   Multi-Display ", {"Korvan UEFI 2026"}},
        {"public PE32+", EfiPosition::Public, true, "5.1 (03.04.2026 @ 00042 )", "0x0204",
         " Cendra   Multi-Display ", {"Korvan UEFI 2026"}},
        {"placeholder", EfiPosition::Placeholder, false, "N/A (Placeholder)", "N/A (Placeholder)",
         " Unknown ", {"Unsigned"}},
        {"hidden", EfiPosition::Hidden, false, "N/A", "N/A", " Unknown ", {"Unsigned"}},
        {"none", EfiPosition::None, false, "N/A", "N/A", " Unknown ", {"Unsigned"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image =
            UefiGpuImage(c.position, Driver("5.1", "Korvan UEFI 2026", 0, c.pe32Plus), 0x200)
                .BuildImage();
        EXPECT_EQ(image->GetUEFIVersion(), c.version);
        EXPECT_EQ(image->GetUEFIVariantID(), c.variant);
        EXPECT_EQ(image->GetUEFIFeatureString(), c.features);
        EXPECT_EQ(image->GetUEFISigners(), c.signers);
    }
    for (int32_t kind : {kROMImageBridgeZX22, kROMImageBridgePLX8747})
    {
        CRefPtr<IROMImage> bridge = IROMImage::Create(kind);
        EXPECT_EQ(bridge->GetUEFISupport(), "No");
        EXPECT_EQ(bridge->GetUEFIVersion(), "Not Supported");
        EXPECT_EQ(bridge->GetUEFISigners(), std::vector<std::string>{"Unsigned"});
        EXPECT_EQ(bridge->CanUpdateUEFI(), "Not supported.");
        EXPECT_FALSE(bridge->UpdateUEFIImage(nullptr, 0, nullptr));
    }
}

TEST(GpuUefiTest, ChecksRefuseImagesAndDriversThatCannotBeMerged)
{
    const std::vector<uint8_t> driver = Driver("2.0", "Signer");
    const std::vector<uint8_t> supplied = Bytes(UefiGpuImage(EfiPosition::Public, driver));
    const auto current = [&](EfiPosition position) {
        return UefiGpuImage(position, Driver("1.0", "Signer")).Version(kUpdatableVersion, 1);
    };
    std::vector<uint8_t> garbage(600, 0x5A);
    garbage[4] = 0x40; // a decoded size the stream cannot reach
    const std::vector<uint8_t> undecodable =
        Bytes(CGpuImageBuilder().Block(CGpuImageBuilder::kEfi, 0x400).Payload(garbage));

    struct Case
    {
        const char* name;
        CGpuImageBuilder image;
        std::vector<uint8_t> supplied;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"valid", current(EfiPosition::Public), supplied, "Yes"},
        {"no UEFI yet", current(EfiPosition::None), supplied, "Yes"},
        {"MXM", current(EfiPosition::Public).Token('x', 1, {0x00, 0x01}), supplied,
         "Cannot update: Image is an MXM. "},
        {"MXM flag clear", current(EfiPosition::Public).Token('x', 1, {0x01, 0x00}), supplied, "Yes"},
        {"old core", UefiGpuImage(EfiPosition::Public, driver).Version(0x60051000, 1), supplied,
         "Cannot update: Image is not a Vove80 or Vezo70. [ Read as Core60]"},
        {"no version", UefiGpuImage(EfiPosition::Public, driver), supplied,
         "Cannot update: Image is not a Vove80 or Vezo70. [ Read as Core00]"},
        {"supplied without EFI block", current(EfiPosition::Public),
         Bytes(UefiGpuImage(EfiPosition::None, driver)), "Didn't provide valid UEFI image."},
        {"supplied placeholder", current(EfiPosition::Public),
         Bytes(UefiGpuImage(EfiPosition::Placeholder, driver)), "Didn't provide valid UEFI image."},
        {"supplied driver that does not decompress", current(EfiPosition::Public), undecodable,
         "Could not decompress provided UEFI image."},
        {"supplied PE file without support list", current(EfiPosition::Public), driver,
         "Didn't provide valid UEFI image."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = c.image.BuildImage();
        EXPECT_EQ(image->CheckUEFIImage(c.supplied.data(), static_cast<uint32_t>(c.supplied.size())),
                  c.answer);
    }

    CRefPtr<IROMImage> super =
        CGpuImageBuilder()
            .Block(CGpuImageBuilder::kX86, 0x1000)
            .Kpde(0x0101, 12)
            .KpdeSubImageLength(0x1000)
            .KpdeFlags(0x02)
            .Version(kUpdatableVersion, 1)
            .BuildImage();
    EXPECT_EQ(super->CanUpdateUEFI(), "Cannot update: Image is a SuperImage. ");
    EXPECT_EQ(IROMImage::Create(kROMImageGPU)->CanUpdateUEFI(), "Cannot update: Image is not valid. ");

    testkit::CapturedLog log;
    CRefPtr<IROMImage> mxm = current(EfiPosition::Public).Token('x', 1, {0x00, 0x01}).BuildImage();
    const std::vector<uint8_t> before = RawBytes(mxm.get());
    EXPECT_EQ(ErrorOf([&] {
                  mxm->UpdateUEFIImage(supplied.data(), static_cast<uint32_t>(supplied.size()),
                                       &log.log);
              }),
              "GPU doesn't support having a UEFI update:\nCannot update: Image is an MXM. \n");
    EXPECT_EQ(RawBytes(mxm.get()), before);
    EXPECT_NE(log.text.str().find("GPU doesn't support having a UEFI update:\n"
                                  "Cannot update: Image is an MXM. \n"),
              std::string::npos);
}

namespace
{
struct MergeCase
{
    const char* name;
    EfiPosition position;
    size_t newNoise;
    std::string error;
};

// The adapter's image for a merge case: an x86 block (with an extension
// block in front of the EFI block when the case expects a refusal), the old
// driver where the case puts it, and a trailer.
CGpuImageBuilder CurrentImage(const MergeCase& c, uint32_t ifr,
                              const std::vector<uint8_t>& oldDriver,
                              const std::vector<uint8_t>& trailer)
{
    CGpuImageBuilder current;
    if (ifr != 0)
    {
        current.InitFromRom(ifr);
    }
    current.Block(CGpuImageBuilder::kX86, 0x1000).Version(kUpdatableVersion, 1);
    if (c.position == EfiPosition::Hidden)
    {
        current.Kpde().LastImage(true).KpdeIndicator(0);
    }
    if (!c.error.empty())
    {
        current.Block(CGpuImageBuilder::kX86Extension, 0x200);
    }
    if (c.position != EfiPosition::None)
    {
        current.Block(CGpuImageBuilder::kEfi, 0x200).Payload(testkit::EfiPayload(oldDriver));
        if (c.position == EfiPosition::Placeholder)
        {
            current.PcirSignature("KPDS");
        }
    }
    current.Trailer(trailer);
    return current;
}

// The merged bytes keep the init-from-ROM segment and the trailer, and
// parsed again as a fresh image show the new driver in one EFI block of the
// larger size, with the IDs of the block it replaces or follows.
void ExpectMerged(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                  uint32_t ifr, uint32_t efiSize, const std::vector<uint8_t>& trailer,
                  IROMImage* image)
{
    EXPECT_EQ(after.size(), ifr + 0x1000 + efiSize + trailer.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + ifr, after.begin()));
    EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), after.end() - 7));
    CRefPtr<IROMImage> merged = ImageOf(after);
    EXPECT_EQ(merged->GetUEFISupport(), "Yes");
    EXPECT_EQ(merged->GetUEFIVersion(), "2.0 (03.04.2026 @ 00042 )");
    EXPECT_EQ(merged->GetUEFIVariantID(), "0x0204");
    EXPECT_EQ(merged->GetUEFIFeatureString(), " Cendra   Multi-Display ");
    EXPECT_EQ(merged->GetUEFISigners(), std::vector<std::string>{"New Signer"});
    EXPECT_EQ(image->GetUEFIVersion(), merged->GetUEFIVersion());
    const std::vector<ChainBlock> chain = ChainOf(merged.get());
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[1].offset, 0x1000);
    EXPECT_EQ(chain[1].length, efiSize);
    for (const ChainBlock& block : chain)
    {
        EXPECT_EQ(block.sum, 0) << "block at " << block.offset;
    }
    EXPECT_EQ(merged->GetWord(merged->FindPCIR(0x1000) + 6), 0x1234);
    EXPECT_EQ(merged->GetWord(merged->FindPCIR(0x1000) + 4), 0x7E2B);
}
} // namespace

TEST(GpuUefiTest, MergePutsTheSuppliedDriverInPlaceOfTheOldOne)
{
    const std::vector<uint8_t> trailer = {'T', 'R', 'A', 'I', 'L', 'E', 'R'};
    const std::vector<uint8_t> oldDriver = Driver("1.0", "Old Signer", 3000);
    const std::vector<MergeCase> cases = {
        {"no EFI block", EfiPosition::None, 1000, ""},
        {"smaller driver", EfiPosition::Public, 0, ""},
        {"larger driver", EfiPosition::Public, 9000, ""},
        {"over a hidden driver", EfiPosition::Hidden, 0, ""},
        {"over a placeholder", EfiPosition::Placeholder, 9000, ""},
        {"EFI block not after the x86 block", EfiPosition::Public, 0,
         "EFI block is located in a non-standard location. [Unsupported ROM type]"},
    };
    for (uint32_t ifr : {0u, 0x400u})
    {
        for (const MergeCase& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + (ifr != 0 ? ", with init-from-ROM" : ""));
            const CGpuImageBuilder current = CurrentImage(c, ifr, oldDriver, trailer);
            const uint32_t oldEfiSize =
                c.position == EfiPosition::None
                    ? 0
                    : current.ChainLength() - current.OffsetOf(current.BlockCount() - 1);

            const std::vector<uint8_t> newDriver = Driver("2.0", "New Signer", c.newNoise);
            const CGpuImageBuilder suppliedBuilder =
                UefiGpuImage(EfiPosition::Public, newDriver).DeviceId(0x9999).VendorId(0x1111);
            const uint32_t newEfiSize = suppliedBuilder.ChainLength() - suppliedBuilder.OffsetOf(1);
            const std::vector<uint8_t> supplied = suppliedBuilder.Build();

            CRefPtr<IROMImage> image = current.BuildImage();
            image->SetOffsetMode(false);
            const std::vector<uint8_t> before = RawBytes(image.get());
            testkit::CapturedLog log;
            const std::string error = ErrorOf([&] {
                image->UpdateUEFIImage(supplied.data(), static_cast<uint32_t>(supplied.size()),
                                       &log.log);
            });
            EXPECT_FALSE(image->GetOffsetMode());
            if (!c.error.empty())
            {
                EXPECT_EQ(error, c.error);
                EXPECT_EQ(RawBytes(image.get()), before);
                continue;
            }
            ASSERT_EQ(error, "(no error)");
            EXPECT_NE(log.text.str().find("Successful UEFI update."), std::string::npos);
            ExpectMerged(before, RawBytes(image.get()), ifr, std::max(oldEfiSize, newEfiSize),
                         trailer, image.get());
        }
    }
}

TEST(GpuUefiTest, MergeRefusesKpdeStructuresThatDoNotMatch)
{
    const std::vector<uint8_t> driver = Driver("2.0", "Signer");
    const auto current = [&](uint8_t x86Flags, uint16_t efiKpdeLength)
    {
        return CGpuImageBuilder()
            .Block(CGpuImageBuilder::kX86, 0x1000)
            .Kpde(0x0101, 12)
            .KpdeFlags(x86Flags)
            .KpdeIndicator(0)
            .Version(kUpdatableVersion, 1)
            .Block(CGpuImageBuilder::kEfi, 0x200)
            .Payload(testkit::EfiPayload(driver))
            .Kpde(0x0101, efiKpdeLength)
            .BuildImage();
    };
    const auto supplied = [&](std::optional<uint16_t> kpdeLength)
    {
        CGpuImageBuilder b = UefiGpuImage(EfiPosition::Public, driver);
        if (kpdeLength)
        {
            b.Kpde(0x0101, *kpdeLength);
        }
        return b.Build();
    };
    struct Case
    {
        const char* name;
        CRefPtr<IROMImage> image;
        std::vector<uint8_t> supplied;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"shorter KPDE in the new block", current(0, 16), supplied(12), "KPDE table size mismatch."},
        {"private image, new block without KPDE", current(0x01, 12), supplied(std::nullopt),
         "Incompatible ROM and EFI file."},
        {"standard image, new block without KPDE", current(0, 12), supplied(std::nullopt),
         "(no error)"},
        {"private image, both with KPDE", current(0x01, 12), supplied(12), "(no error)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> before = RawBytes(c.image.get());
        EXPECT_EQ(ErrorOf([&] {
                      c.image->UpdateUEFIImage(c.supplied.data(),
                                               static_cast<uint32_t>(c.supplied.size()), nullptr);
                  }),
                  c.error);
        if (c.error != "(no error)")
        {
            EXPECT_EQ(RawBytes(c.image.get()), before);
            continue;
        }
        EXPECT_EQ(ImageOf(RawBytes(c.image.get()))->GetUEFIVersion(), "2.0 (03.04.2026 @ 00042 )");
    }
}

TEST(GpuUefiTest, DebianIpxeEfiOptionRomReadsAsUnsignedUefi)
{
    const std::filesystem::path rom = "/usr/lib/ipxe/qemu/efi-e1000.rom";
    if (!std::filesystem::exists(rom))
    {
        GTEST_SKIP() << rom << " is not installed (package ipxe-qemu)";
    }
    CRefPtr<IROMImage> image = IROMImage::CreateFromFile(rom.string());
    EXPECT_EQ(image->GetUEFISupport(), "Yes");
    EXPECT_EQ(image->GetUEFISigners(), std::vector<std::string>{"Unsigned"});
}
