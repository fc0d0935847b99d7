// Fuzzes the UEFI driver reader and the UEFI operations of a GPU image: a
// driver's build record, security directory and DER signer, and the chain
// walk, checks and merge around them. Any input must end in a value or an
// exception, never in a read outside the data or an endless walk.
//
// Input modes by the first byte:
//   0 mod 3  the rest is the decompressed driver itself (framed with the
//            test encoder, so every reader path sees the bytes as given);
//   1 mod 3  the rest is the compressed block payload;
//   2 mod 3  patches (16-bit offset, value) to a signed test driver with a
//            build record, then the reader, and the GPU image that carries
//            it in its EFI block, merged into another image (when bit 1 of
//            the first patch byte is set): one whose EFI block holds a
//            driver, or, when bit 2 is set too, one without an EFI block.
//
// A compressed payload (mode 1) whose header announces more than 32 KiB of
// output, up to the reader's cap, is skipped: decoding it only spends time
// filling megabytes from an exhausted stream (the decoder has a fuzzer of its
// own). A header past the cap still runs: it is refused before anything is
// decoded. The patched driver is encoded once, for both its reader
// and its image, with matches: fewer codes make every later decode cheaper.

#include "core/Log.h"
#include "fuzz/FuzzSeeds.h"
#include "image/IROMImage.h"
#include "image/UEFIDecompressor.h"
#include "testkit/image/EfiCompressor.h"
#include "testkit/image/UefiBuilder.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace
{
template <class F> void Try(F&& action)
{
    try
    {
        action();
    }
    catch (const std::exception&)
    {
    }
}

void ReadDriver(const UEFIDecompressor& reader)
{
    Try([&] { reader.GetVersionString(); });
    Try([&] { reader.GetVariantID(); });
    Try([&] { reader.GetFeatureString(); });
    Try([&] { reader.GetSigner(); });
}

const std::vector<uint8_t>& SeedDriver()
{
    static const std::vector<uint8_t> driver =
        testkit::CUefiDriverBuilder()
            .BuildInfo(testkit::UefiBuildRecord(
                {{"VER", "9.1"}, {"DAT", "01.01.2026"}, {"CHG", "7"}, {"VAR", "0101"}}))
            .Certificate(1, {1, 2, 3})
            .Certificate(2, testkit::SignedDataFor("Fuzz Signer"))
            .BodySize(0x200)
            .Build();
    return driver;
}

// The merge into an image with a UEFI driver in its EFI block, or into one
// with no EFI block at all, which the merge must add or refuse.
void MergeInto(const std::vector<uint8_t>& supplied, bool withoutEfiBlock)
{
    static const std::vector<uint8_t> withEfi =
        testkit::UefiGpuImage(testkit::EfiPosition::Public, SeedDriver(), 0x200)
            .Version(0x80011000, 1)
            .Build();
    static const std::vector<uint8_t> x86Only = testkit::CGpuImageBuilder()
                                                    .InitFromRom(0x200)
                                                    .Block(testkit::CGpuImageBuilder::kX86, 0x8000)
                                                    .Version(0x80011000, 1)
                                                    .Build();
    const std::vector<uint8_t>& current = withoutEfiBlock ? x86Only : withEfi;
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(current.data(), static_cast<uint32_t>(current.size()));
    // The update runs the image check first, on the same bytes: a call of
    // the check of its own would only repeat it.
    Try(
        [&] {
            image->UpdateUEFIImage(supplied.data(), static_cast<uint32_t>(supplied.size()),
                                   nullptr);
        });
    Try([&] { image->GetUEFIVersion(); });
}

// Outputs above this are not decoded here (see the top of the file).
constexpr uint32_t kLongestDecodedOutput = 32 * 1024;

bool AnnouncesLongOutput(const std::vector<uint8_t>& compressed)
{
    if (compressed.size() < 8)
    {
        return false;
    }
    const uint32_t decoded = uint32_t{compressed[4]} | uint32_t{compressed[5]} << 8 |
                             uint32_t{compressed[6]} << 16 | uint32_t{compressed[7]} << 24;
    return decoded > kLongestDecodedOutput && decoded <= UEFIDecompressor::kMaxDecodedSize;
}

std::vector<uint8_t> Mode(uint8_t mode, const std::vector<uint8_t>& rest)
{
    std::vector<uint8_t> input = {mode};
    input.insert(input.end(), rest.begin(), rest.end());
    return input;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::vector<uint8_t> plus =
        testkit::CUefiDriverBuilder()
            .Pe32Plus()
            .BuildInfo(testkit::UefiBuildRecord({{"VER", "1.0"}, {"VAR", "0101"}}))
            .Certificate(2, testkit::SignedDataFor("X"))
            .Build();
    return {
        {"driver", Mode(0, SeedDriver())},
        {"driver-pe32-plus", Mode(0, plus)},
        {"compressed-driver", Mode(1, testkit::EfiCompress(SeedDriver()))},
        {"compressed-pe32-plus", Mode(1, testkit::EfiCompress(plus))},
        {"patched-driver", {2, 0x00, 0x01, 0x20}},
        {"patched-driver-and-image", {2, 0x01, 0x00, 0x55}},
        {"patched-driver-merged", {2, 0x02, 0x00, 0x4D, 0x80, 0x00, 0x00}},
        {"patched-driver-merged-without-efi-block", {2, 0x06, 0x00, 0x4D}},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 0x20000)
    {
        return 0;
    }
    const std::vector<uint8_t> rest(data + 1, data + size);
    switch (data[0] % 3)
    {
    case 0:
        ReadDriver(UEFIDecompressor(testkit::EfiCompress(rest, {false}), "Yes"));
        break;
    case 1:
        if (!AnnouncesLongOutput(rest))
        {
            ReadDriver(UEFIDecompressor(rest, "Yes"));
        }
        break;
    default:
    {
        std::vector<uint8_t> driver = SeedDriver();
        for (size_t i = 0; i + 3 <= rest.size(); i += 3)
        {
            driver[(rest[i] | rest[i + 1] << 8) % driver.size()] = rest[i + 2];
        }
        const std::vector<uint8_t> payload = testkit::EfiCompress(driver);
        ReadDriver(UEFIDecompressor(payload, "Yes"));
        std::vector<uint8_t> image;
        Try(
            [&] {
                image =
                    testkit::UefiGpuImageWithPayload(testkit::EfiPosition::Public, payload).Build();
            });
        if (!image.empty())
        {
            for (size_t i = 0; i + 3 <= rest.size() && (rest[0] & 1) != 0; i += 3)
            {
                image[(rest[i] | rest[i + 1] << 8) % image.size()] = rest[i + 2];
            }
            CRefPtr<IROMImage> gpu;
            Try(
                [&] {
                    gpu = IROMImage::CreateFromBuffer(image.data(),
                                                      static_cast<uint32_t>(image.size()));
                });
            if (gpu)
            {
                Try([&] { gpu->GetUEFISupport(); });
                Try([&] { gpu->GetUEFISigners(); });
                Try([&] { gpu->CanUpdateUEFI(); });
            }
            // The merge makes several 3 MiB images: only every other input.
            if (!rest.empty() && (rest[0] & 2) != 0)
            {
                MergeInto(image, (rest[0] & 4) != 0);
            }
        }
        break;
    }
    }
    return 0;
}
