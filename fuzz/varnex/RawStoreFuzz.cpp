// Feeds arbitrary bytes to the Varnex image reader and writes what it read
// back out in both forms. Inputs whose first byte is even and below 16 (no
// store starts so) are applied as patches to a valid raw store, so that
// mutations reach deep into the parse; the seeds are such patch lists and
// whole stores of the builder in both forms.

#include "fuzz/FuzzSeeds.h"
#include "testkit/varnex/StorePatch.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace
{

const std::vector<uint8_t>& BaseStore()
{
    static const std::vector<uint8_t> store = testkit::CVarnexStoreBuilder()
                                                  .Directory(19)
                                                  .Img("1.0", 1, 2, 3, 4)
                                                  .Obd("699-0000")
                                                  .Oem({1, 2, 3})
                                                  .Ecc({4, 5})
                                                  .Pbl(2, 1, {0x40000001}, {0x40000001})
                                                  .Ppo({{1, 2, 250}})
                                                  .Een({1})
                                                  .Bbo(1, 2, 3)
                                                  .Generic("PGM", {0xFF})
                                                  .BuildRaw();
    return store;
}

} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"raw-every-object", BaseStore()},
        {"raw-10-entries",
         testkit::CVarnexStoreBuilder().Img("1.0", 1, 2, 3, 4).Pbl(3, 0, {1, 2}, {3}).BuildRaw()},
        {"file-system", testkit::CVarnexStoreBuilder()
                            .Img("1.0", 1, 2, 3, 4)
                            .Oem(std::vector<uint8_t>(200, 0x0F))
                            .WithAttribute(0x03)
                            .BuildFileSystem()},
        {"patches-directory", {0, 0x05, 0x00, 0x40, 0x0E, 0x00, 0x50}},
        {"patches-objects", {2, 0x80, 0x00, 0x00, 0x90, 0x00, 0xFF}},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes;
    if (size > 0 && data[0] < 16 && (data[0] & 1) == 0)
    {
        bytes = testkit::PatchedStore(BaseStore(), data, size);
    }
    else
    {
        bytes.assign(data, data + size);
    }
    CLog log; // no sinks: the builder's lines go nowhere
    CVarnexImage image(bytes);
    const std::vector<uint8_t> raw = image.SerializeRaw();
    const std::vector<uint8_t> fs = image.SerializeFileSystem(&log);
    image.UpdateDirectory(CreateFixedVarnexCalendar({5, 3, 2024}).get());
    if (!raw.empty())
    {
        CVarnexImage again(raw);
        again.SerializeRaw();
    }
    if (!fs.empty())
    {
        CVarnexImage again(fs);
        again.SerializeRaw();
    }
    return 0;
}
