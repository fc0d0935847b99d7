// Feeds arbitrary bytes to the Varnex image reader and writes what it read
// back out in both forms. Inputs whose first byte is even are applied as
// patches to a valid raw store, so that mutations reach deep into the parse.

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes;
    if (size > 0 && (data[0] & 1) == 0)
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
