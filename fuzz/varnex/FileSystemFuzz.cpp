// Mounts arbitrary or patched file-system images, reads every file, then
// writes, relocates and reclaims, all inside the given bytes. Inputs whose
// first byte is even and below 16 (no store starts so) are applied as patches
// to a valid store with read-only and read-write files; the seeds are such
// patch lists and whole stores of the builder.

#include "fuzz/FuzzSeeds.h"
#include "testkit/varnex/StorePatch.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexImage.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace
{

const std::vector<uint8_t>& BaseStore()
{
    static const std::vector<uint8_t> store = testkit::CVarnexStoreBuilder()
                                                  .Img("1.0", 1, 2, 3, 4)
                                                  .Obd("699-0000")
                                                  .Oem(std::vector<uint8_t>(200, 0x0F))
                                                  .WithAttribute(0x03)
                                                  .Ecc(std::vector<uint8_t>(130, 0xEC))
                                                  .WithAttribute(0x01)
                                                  .Generic("PGM", {0xFF})
                                                  .BuildFileSystem();
    return store;
}

uint32_t VersionOf(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 8)
    {
        return 0;
    }
    return bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (uint32_t{bytes[7]} << 24);
}

// Reads every file, then uses the input's tail to drive writes and reclaims.
void Exercise(std::vector<uint8_t>& bytes, const uint8_t* data, size_t size)
{
    VarnexFsSource source{bytes.data(), static_cast<uint32_t>(bytes.size())};
    VarnexFsContext* context = CreateVarnexFileSystem(&source, VersionOf(bytes));
    if (context == nullptr)
    {
        return;
    }
    if (VarnexFsMount(context) == kVarnexFsOk)
    {
        std::array<uint8_t, 3 * kVarnexFsMaxFiles> names{};
        uint32_t count = 0;
        VarnexFsList(context, names.data(), &count);
        for (uint32_t i = 0; i < count; ++i)
        {
            uint16_t fileSize = 0;
            if (VarnexFsGetSize(context, &names[3 * i], &fileSize) == kVarnexFsOk)
            {
                std::vector<uint8_t> file(fileSize + 1u);
                VarnexFsRead(context, &names[3 * i], 0, fileSize, file.data());
            }
        }
        // Each 4-byte record: file index, offset, value, action.
        for (size_t i = size % 4; i + 3 < size && count > 0; i += 4)
        {
            const uint8_t* name = &names[3 * (data[i] % count)];
            const uint8_t value = data[i + 2];
            switch (data[i + 3] % 4)
            {
            case 0:
            case 1:
                VarnexFsWrite(context, name, data[i + 1], 1, &value);
                break;
            case 2:
                VarnexFsReclaim(context);
                break;
            default:
            {
                bool needed = false;
                VarnexFsNeedsReclaim(context, &needed);
                uint8_t byte = 0;
                VarnexFsRead(context, name, data[i + 1], 1, &byte);
                break;
            }
            }
        }
    }
    VarnexFsClose(context);
}

} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"store-read-only-and-read-write", BaseStore()},
        {"store-version-1", testkit::CVarnexStoreBuilder()
                                .Img("1.0", 1, 2, 3, 4)
                                .Obd("699-0000")
                                .Pbl(2, 0, {1}, {2})
                                .FileSystemVersion(1)
                                .BuildFileSystem()},
        {"store-bad-checksum", testkit::CVarnexStoreBuilder()
                                   .Img("1.0", 1, 2, 3, 4)
                                   .Oem({1, 2})
                                   .WithBadChecksum()
                                   .BuildFileSystem()},
        {"patches-writes", {0, 0x80, 0x00, 0x01, 0x01, 0x04, 0x20, 0x00, 0x02, 0x00, 0x00, 0x03}},
        {"patches-reclaim", {2, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x02}},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes;
    if (size > 0 && data[0] < 16 && (data[0] & 1) == 0)
    {
        bytes = testkit::PatchedStore(BaseStore(), data, std::min<size_t>(size, 300));
    }
    else
    {
        bytes.assign(data, data + size);
    }
    CVarnexImage image(bytes);
    Exercise(bytes, data, size);
    // What the mount and the writes left must read back without harm.
    CVarnexImage after(bytes);
    return 0;
}
