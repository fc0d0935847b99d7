// Fuzzes the Varnex block inside a firmware file: the store and its backup
// read out of the block's NBSI objects, the store parsed from them, and the
// block appended to another image's chain as a flash of a firmware file that
// carries one does. Any input must end in bytes, a store, a refused append or
// an exception, never in a read outside the image or an endless walk.
//
// The first byte picks the roles (bit 0): 0, the input is a firmware image
// whose block is read and appended to a plain image; 1, the input is the
// plain image a fixed image's block is appended to. The rest is the image.
//
// fuzz-link: romvise_testkit_varnex romvise_varnex
// fuzz-max-len: 98304

#include "fuzz/FuzzSeeds.h"
#include "image/IROMImage.h"
#include "image/NBSIPCIBlock.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/VarnexFirmware.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace
{
std::vector<uint8_t> PlainFirmware(uint32_t length = 0x10000)
{
    return testkit::CGpuImageBuilder()
        .Block(testkit::CGpuImageBuilder::kX86, length)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001)
        .Build();
}

std::vector<uint8_t> Store()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board", "SN-1")
        .Oem({1, 2, 3, 4})
        .Bbo(7, 2, 0xBEEF)
        .BuildRaw();
}

std::vector<uint8_t> BackupStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .BuildRaw();
}

CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void ReadBlock(IROMImage* image)
{
    ReadVarnexObjectBytes(image, nbsi::kTypeVarnexImage);
    ReadVarnexObjectBytes(image, nbsi::kTypeVarnexBackup);
    for (bool backup : {false, true})
    {
        if (CRefPtr<CVarnexImage> store = ReadVarnexStore(image, backup))
        {
            store->IsValid();
            store->SerializeRaw();
        }
    }
}

// An input: the role byte, then the image.
std::vector<uint8_t> WithRole(uint8_t role, const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> input(1 + image.size(), role);
    std::copy(image.begin(), image.end(), input.begin() + 1);
    return input;
}

void Append(IROMImage* target, IROMImage* source)
{
    CRefPtr<CROMMeldVarnexFlashImpl> merger(CROMMeldVarnexFlashImpl::Create());
    if (CRefPtr<IROMImage> merged = merger->AppendVarnexToRomChain(target, source, nullptr))
    {
        ReadBlock(merged.get());
    }
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"block-store-and-backup",
         WithRole(0, testkit::WithVarnexBlock(PlainFirmware(), Store(), BackupStore()))},
        {"block-store-only", WithRole(0, testkit::WithVarnexBlock(PlainFirmware(), Store()))},
        {"plain-target", WithRole(1, PlainFirmware(0x8000))},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
    {
        return 0;
    }
    static const std::vector<uint8_t> fixedSource =
        testkit::WithVarnexBlock(PlainFirmware(), Store(), BackupStore());
    static const std::vector<uint8_t> fixedTarget = PlainFirmware(0x8000);
    const std::vector<uint8_t> input(data + 1, data + size);
    try
    {
        CRefPtr<IROMImage> image = ImageOf(input);
        if ((data[0] & 1) == 0)
        {
            ReadBlock(image.get());
            Append(ImageOf(fixedTarget).get(), image.get());
        }
        else
        {
            Append(image.get(), ImageOf(fixedSource).get());
        }
    }
    catch (const std::exception&)
    {
    }
    return 0;
}
