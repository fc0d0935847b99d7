#pragma once
// The seed corpus of a fuzz target, made by the test kit's builders when the
// fuzzer runs instead of being kept as binary files. A target that includes
// this header defines FuzzSeeds(); scripts/fuzz then runs it once with
// ROMVISE_FUZZ_SEEDS=<folder>, which writes each seed to a file of that
// folder and exits, and starts the fuzzer from that folder.
//
//   std::vector<FuzzSeed> FuzzSeeds()
//   {
//       return {{"store-every-kind", EveryKindStore()}};   // one line a family
//   }
//
// A target may also declare its longest input in a comment of its own,
// "fuzz-max-len: <bytes>"; scripts/fuzz passes it to the fuzzer.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

struct FuzzSeed
{
    std::string name;
    std::vector<uint8_t> bytes;
};

// Defined by the target.
std::vector<FuzzSeed> FuzzSeeds();

// The seed runner of the tests (tests/fuzz/SeedRun.cpp) takes the seeds
// itself.
#ifndef ROMVISE_FUZZ_SEED_RUNNER
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* folder = std::getenv("ROMVISE_FUZZ_SEEDS");
    if (folder == nullptr || *folder == '\0')
    {
        return 0;
    }
    std::filesystem::create_directories(folder);
    bool written = true;
    for (const FuzzSeed& seed : FuzzSeeds())
    {
        std::ofstream file(std::filesystem::path(folder) / seed.name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(seed.bytes.data()),
                   static_cast<std::streamsize>(seed.bytes.size()));
        written = written && file.good();
    }
    std::exit(written ? 0 : 1);
}
#endif
