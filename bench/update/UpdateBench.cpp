// Updates the firmware of a simulated adapter through IFlasher::FlashImage,
// as the packaged updater does, and prints what each update cost on the
// simulated board beside the least the same write could cost (the bound of
// the EEPROM write bench: datasheet erase and program times of the blocks
// and pages that differ, the SPI bytes of those commands at two register
// writes per bit, and one window read per four bytes to compare the chip
// and to read the programmed pages back):
//
//   a  a 512 KiB image over different firmware
//   b  the same image again
//   c  an image that differs from the chip in one 4 KiB block

#include "FirmwareImages.h"
#include "FlasherMachine.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace
{
constexpr uint64_t kAccessCostNs = 300;
constexpr uint32_t kImageSize = 0x80000;
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kDifferingBlock = 37;

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The erases and page programs no writer can avoid to turn `before` into
// `after`: a block needs an erase when a bit must go from 0 to 1, and a page
// a program when its bytes differ from the chip's (or the erased block's)
// and are not all 0xFF.
void LeastWork(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
               uint64_t& erases, uint64_t& programs)
{
    erases = 0;
    programs = 0;
    for (size_t block = 0; block < after.size(); block += kBlockSize)
    {
        bool erase = false;
        for (size_t i = block; i < block + kBlockSize; ++i)
        {
            erase |= (before[i] & after[i]) != after[i];
        }
        erases += erase ? 1 : 0;
        for (size_t page = block; page < block + kBlockSize; page += kPageSize)
        {
            bool differs = false;
            bool blank = true;
            for (size_t i = page; i < page + kPageSize; ++i)
            {
                differs |= (erase ? 0xFF : before[i]) != after[i];
                blank &= after[i] == 0xFF;
            }
            programs += differs && !blank ? 1 : 0;
        }
    }
}

void Update(CFlasherMachine& rig, const char* name, const std::vector<uint8_t>& bytes)
{
    CSimMachine& machine = rig.scope->Machine();
    CSimSpiFlash& chip = rig.Chip(0);
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    chip.ClearHistory();
    const uint64_t startNs = machine.Clock().NowNanoseconds();
    const uint64_t startAccesses =
        machine.Counters().registerReads + machine.Counters().registerWrites;
    const double startCpu = CpuSeconds();
    rig.flasher->FlashImage(rig.ui, image, false, false, true, rig.Adapter(0), eeprom, rig.database,
                            0, &rig.log, nullptr, true);
    const double cpu = CpuSeconds() - startCpu;
    const uint64_t virtualNs = machine.Clock().NowNanoseconds() - startNs;
    const uint64_t accesses =
        machine.Counters().registerReads + machine.Counters().registerWrites - startAccesses;
    const bool verified = rig.ChipBytes(0) == std::vector<uint8_t>(bytes.begin(), bytes.end());

    uint64_t erases = 0;
    uint64_t programs = 0;
    LeastWork(before, bytes, erases, programs);
    const SimSpiFlashTiming& timing = chip.Timing();
    const uint64_t spiBytesNeeded = erases * (1 + 4) + programs * (1 + 4 + kPageSize);
    const uint64_t windowReads = kImageSize / 4 + programs * kPageSize / 4;
    const uint64_t lowerNs = erases * timing.sectorErase * 1000 +
                             programs * timing.pageProgram * 1000 +
                             (spiBytesNeeded * 8 * 2 + windowReads) * kAccessCostNs;

    std::printf("case %s: %s\n", name, verified ? "updated and verified" : "CONTENTS DIFFER");
    std::printf("  virtual time        %12.3f ms\n", static_cast<double>(virtualNs) / 1e6);
    std::printf("  erases              %12zu  (least %llu)\n", chip.Erases().size(),
                static_cast<unsigned long long>(erases));
    std::printf("  programs            %12zu  (least %llu)\n", chip.Programs().size(),
                static_cast<unsigned long long>(programs));
    std::printf("  register accesses   %12llu\n", static_cast<unsigned long long>(accesses));
    std::printf("  SPI bytes           %12llu\n",
                static_cast<unsigned long long>(chip.BytesClocked()));
    std::printf("  host CPU            %12.3f s\n", cpu);
    std::printf("  lower bound         %12.3f ms\n", static_cast<double>(lowerNs) / 1e6);
    std::printf("  ratio to bound      %12.2f\n\n",
                static_cast<double>(virtualNs) / static_cast<double>(lowerNs));
}
} // namespace

int main()
{
    // The adapter starts with other firmware: another layout of its blocks.
    testkit::CGpuImageBuilder old = FirmwareBuilder({.length = 0x20000});
    old.Block(0x03, kImageSize - 0x20000);
    CFlasherMachine rig({{0x0800, 8, old.Build()}});
    rig.scope->Machine().SetAccessCostNanoseconds(kAccessCostNs);
    rig.flasher->SetModeFlags(kFlasherPackagedMode);

    testkit::CGpuImageBuilder fresh = FirmwareBuilder({.version = 0x86041C00, .length = 0x40000});
    fresh.Block(0x03, kImageSize - 0x40000);
    const std::vector<uint8_t> image = fresh.Build();
    std::vector<uint8_t> oneBlock = image;
    for (uint32_t i = kDifferingBlock * kBlockSize; i < (kDifferingBlock + 1) * kBlockSize; ++i)
    {
        oneBlock[i] = static_cast<uint8_t>(~oneBlock[i]);
    }

    std::printf("register access cost %llu ns; image %u KiB on a W25X40A\n\n",
                static_cast<unsigned long long>(kAccessCostNs), kImageSize / 1024);
    Update(rig, "a (full update)", image);
    Update(rig, "b (same image again)", image);
    Update(rig, "c (one block differs)", oneBlock);
    return 0;
}
