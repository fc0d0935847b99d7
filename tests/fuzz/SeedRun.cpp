// Runs one fuzz target on each of its seeds, as the fuzzer's first pass
// would: every seed must fit the target's longest input (a longer one reaches
// the target cut, so the code it was made for never runs) and must be taken
// without a crash; the sanitizer build checks its memory use too.

#define ROMVISE_FUZZ_SEED_RUNNER
#include "fuzz/FuzzSeeds.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main()
{
    int failures = 0;
    const std::vector<FuzzSeed> seeds = FuzzSeeds();
    for (const FuzzSeed& seed : seeds)
    {
        if (seed.bytes.size() > ROMVISE_FUZZ_MAX_LEN)
        {
            std::printf("seed %s is %zu bytes, longer than the target's %d\n", seed.name.c_str(),
                        seed.bytes.size(), ROMVISE_FUZZ_MAX_LEN);
            ++failures;
            continue;
        }
        LLVMFuzzerTestOneInput(seed.bytes.data(), seed.bytes.size());
    }
    std::printf("%zu seeds, %d too long\n", seeds.size(), failures);
    return failures == 0 && !seeds.empty() ? 0 : 1;
}
