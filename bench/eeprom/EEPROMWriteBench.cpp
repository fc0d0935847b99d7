// Writes images to a simulated standard SPI flash part behind a GPU's
// bit-banged EEPROM control register and prints what the write cost on the
// simulated board beside the least the same work could cost:
//
//   a  an image identical to the chip
//   b  an image that differs from the chip in one 4 KiB erase block
//   c  an image that differs everywhere
//   d  as c, on a 1 MiB part
//
// Figures per case: virtual time, register accesses, SPI bytes, erase and
// program operations with their addresses, host CPU time, and the lower
// bound: the datasheet erase and program time of the blocks and pages that
// differ, the SPI bytes those commands need at two register writes per bit,
// one 32-bit window read per four bytes to compare the chip with the image,
// and the same to read the programmed pages back.

#include "core/Log.h"
#include "eeprom/IEEPROM.h"
#include "sim/SimSpiFlash.h"
#include "testkit/machine/SimGpuRig.h"

#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace
{
constexpr uint64_t kAccessCostNs = 300;
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kBlockSize = 4096;
constexpr int32_t kRetries = 3;
constexpr uint32_t kDifferingBlock = 37;

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes)
    {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Addresses(const std::vector<SimFlashOperation>& operations)
{
    if (operations.empty())
    {
        return "none";
    }
    char text[96];
    if (operations.size() == 1)
    {
        std::snprintf(text, sizeof text, "0x%06X", operations.front().address);
    }
    else
    {
        std::snprintf(text, sizeof text, "0x%06X..0x%06X", operations.front().address,
                      operations.back().address);
    }
    return text;
}

struct Case
{
    const char* name;
    uint8_t manufacturer;
    uint16_t device;
    // The image to write, given the chip's contents.
    std::vector<uint8_t> (*image)(const std::vector<uint8_t>& chip);
};

std::vector<uint8_t> Identical(const std::vector<uint8_t>& chip)
{
    return chip;
}

std::vector<uint8_t> OneBlockDiffers(const std::vector<uint8_t>& chip)
{
    // A 0-to-1 change, so that the block must be erased.
    std::vector<uint8_t> image = chip;
    for (uint32_t i = kDifferingBlock * kBlockSize; i < (kDifferingBlock + 1) * kBlockSize; ++i)
    {
        if (image[i] != 0xFF)
        {
            image[i] = 0xFF;
            break;
        }
    }
    return image;
}

std::vector<uint8_t> AllDiffers(const std::vector<uint8_t>& chip)
{
    return RandomBytes(chip.size(), 2);
}

void Run(const Case& wanted)
{
    CSimGpuRig rig(SimGpuConfigForKind(6));
    CSimMachine& machine = *rig.machine;
    machine.SetAccessCostNanoseconds(kAccessCostNs);
    const SimFlashPart& part = CSimSpiFlash::FindPart(wanted.manufacturer, wanted.device);
    const uint32_t size = part.sizeBytes;
    auto contents = std::make_shared<CSimChipStore>(size);
    const std::vector<uint8_t> before = RandomBytes(size, 1);
    contents->Write(0, before);
    auto chip = std::make_shared<CSimSpiFlash>("flash", part, ESimSpiFlavour::Standard, contents,
                                               &machine.Clock(), &machine.Counters());
    rig.gpu->AttachChip(chip);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), 6);
    CLog log;
    CRefPtr<IEEPROM> eeprom = CreateEEPROM(device, 1, kRetries, false, false);
    eeprom->Identify(GetEEPROMDatabase(), log);

    const std::vector<uint8_t> bytes = wanted.image(before);
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetOffsetMode(false);
    image->WriteBlock(bytes.data(), 0, size);
    chip->ClearHistory();

    const uint64_t startNs = machine.Clock().NowNanoseconds();
    const uint64_t startReads = machine.Counters().registerReads;
    const uint64_t startWrites = machine.Counters().registerWrites;
    const double startCpu = CpuSeconds();
    eeprom->WriteImage(nullptr, 0, image.get(), 0, size, true, true, log);
    const double cpu = CpuSeconds() - startCpu;
    const uint64_t virtualNs = machine.Clock().NowNanoseconds() - startNs;
    const uint64_t accesses = machine.Counters().registerReads - startReads +
                              machine.Counters().registerWrites - startWrites;
    const bool verified = contents->Read(0, size) == bytes;

    const uint64_t erases = chip->Erases().size();
    const uint64_t programs = chip->Programs().size();
    const SimSpiFlashTiming& timing = chip->Timing();
    const uint64_t spiBytesNeeded = erases * (1 + 4) + programs * (1 + 4 + kPageSize);
    const uint64_t windowReads = size / 4 + programs * kPageSize / 4;
    const uint64_t lowerNs = erases * timing.sectorErase * 1000 +
                             programs * timing.pageProgram * 1000 +
                             (spiBytesNeeded * 8 * 2 + windowReads) * kAccessCostNs;

    std::printf("case %s: %s %u KiB, %s\n", wanted.name, part.name, size / 1024,
                verified ? "written and verified" : "CONTENTS DIFFER");
    std::printf("  virtual time        %12.3f ms\n", static_cast<double>(virtualNs) / 1e6);
    std::printf("  register accesses   %12llu\n", static_cast<unsigned long long>(accesses));
    std::printf("  SPI bytes           %12llu\n",
                static_cast<unsigned long long>(chip->BytesClocked()));
    std::printf("  erases              %12llu  at %s\n", static_cast<unsigned long long>(erases),
                Addresses(chip->Erases()).c_str());
    std::printf("  programs            %12llu  at %s\n", static_cast<unsigned long long>(programs),
                Addresses(chip->Programs()).c_str());
    std::printf("  host CPU            %12.3f s\n", cpu);
    std::printf("  lower bound         %12.3f ms\n", static_cast<double>(lowerNs) / 1e6);
    std::printf("  ratio to bound      %12.2f\n\n",
                static_cast<double>(virtualNs) / static_cast<double>(lowerNs));
}
} // namespace

int main()
{
    std::printf("register access cost %llu ns; the bound clocks each SPI bit with two writes\n\n",
                static_cast<unsigned long long>(kAccessCostNs));
    const Case cases[] = {
        {"a (identical)", 0xEF, 0x3013, Identical},
        {"b (one block differs)", 0xEF, 0x3013, OneBlockDiffers},
        {"c (all differs)", 0xEF, 0x3013, AllDiffers},
        {"d (all differs, 1 MiB)", 0xEF, 0x4014, AllDiffers},
    };
    for (const Case& wanted : cases)
    {
        Run(wanted);
    }
    return 0;
}
