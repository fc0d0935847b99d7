// The simulated Kestrix engines' registers: reset and DMA status that become
// ready after a set number of reads, memories with auto-increment, and the
// mailbox that stays pending for a set number of polls.

#include "sim/SimKestrix.h"
#include "testkit/machine/SimGpuRig.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint32_t kPmu = CSimKestrix::kPmuBase;

struct Engine
{
    explicit Engine(SimKestrixConfig config = {}) : rig(SimGpuConfigForKind(12))
    {
        auto model = std::make_shared<CSimKestrix>("kestrix", *rig.gpu, config);
        kestrix = model.get();
        rig.machine->AddDevice(model);
    }
    uint32_t Read(uint32_t offset) { return rig.gpu->ReadBar(rig.gpu->Function(), 0, offset, 4); }
    void Write(uint32_t offset, uint32_t value)
    {
        rig.gpu->WriteBar(rig.gpu->Function(), 0, offset, 4, value);
    }

    CSimGpuRig rig;
    CSimKestrix* kestrix = nullptr;
};

TEST(SimKestrix, ResetAndDmaBecomeReadyAfterTheirReads)
{
    SimKestrixConfig config;
    config.resetPolls = 3;
    config.dmaPolls = 2;
    Engine engine(config);
    EXPECT_EQ(engine.Read(kPmu + 0x108), 0x100u | 0x100u << 9);
    engine.Write(kPmu + 0x100, 9);
    EXPECT_EQ(engine.Read(kPmu + 0x118), 1u);
    EXPECT_EQ(engine.Read(kPmu + 0x118), 1u);
    EXPECT_EQ(engine.Read(kPmu + 0x118), 1u);
    EXPECT_EQ(engine.Read(kPmu + 0x118), 2u);
    EXPECT_EQ(engine.Read(kPmu + 0x10C) & 6u, 6u);
    EXPECT_EQ(engine.Read(kPmu + 0x10C) & 6u, 6u);
    EXPECT_EQ(engine.Read(kPmu + 0x10C) & 6u, 0u);
}

TEST(SimKestrix, MemoriesAutoIncrementByTheirModeBits)
{
    Engine engine;
    engine.Write(kPmu + 0x1C0, 0x100 | 1u << 24);
    engine.Write(kPmu + 0x1C4, 0x11111111);
    engine.Write(kPmu + 0x1C4, 0x22222222);
    engine.Write(kPmu + 0x1C0, 0x100 | 1u << 25);
    EXPECT_EQ(engine.Read(kPmu + 0x1C4), 0x11111111u);
    EXPECT_EQ(engine.Read(kPmu + 0x1C4), 0x22222222u);
    // Without the read bit the address stays.
    engine.Write(kPmu + 0x1C0, 0x104);
    EXPECT_EQ(engine.Read(kPmu + 0x1C4), 0x22222222u);
    EXPECT_EQ(engine.Read(kPmu + 0x1C4), 0x22222222u);
    // IMEM: the secure bit marks the block written, the tag names it.
    engine.Write(kPmu + 0x180, 0x200 | 1u << 24 | 1u << 28);
    engine.Write(kPmu + 0x188, 2);
    engine.Write(kPmu + 0x184, 0xABCD);
    EXPECT_TRUE(engine.kestrix->Pmu().secureBlocks[2]);
    EXPECT_EQ(engine.kestrix->Pmu().tags[2], 2u);
    EXPECT_EQ(engine.kestrix->ReadImem(kPmu, 0x200, 2), (std::vector<uint8_t>{0xCD, 0xAB}));
}

// The memories' bytes as the microcode sees them: each word low byte first,
// at any offset; past the memory's end reads give 0 and writes are dropped.
TEST(SimKestrix, MemoryBytesAreLowByteFirstUpToTheMemorysEnd)
{
    SimKestrixConfig config;
    config.dmemSize = 0x100;
    Engine engine(config);
    engine.Write(kPmu + 0x1C0, 0x0F8 | 1u << 24);
    engine.Write(kPmu + 0x1C4, 0x44332211);
    engine.Write(kPmu + 0x1C4, 0x88776655);
    CSimKestrix& kestrix = *engine.kestrix;
    EXPECT_EQ(kestrix.ReadDmem(kPmu, 0x0FB, 3), (std::vector<uint8_t>{0x44, 0x55, 0x66}));
    EXPECT_EQ(kestrix.ReadDmem(kPmu, 0x0FE, 4), (std::vector<uint8_t>{0x77, 0x88, 0, 0}));
    EXPECT_EQ(kestrix.ReadDmem(kPmu, 0x100, 2), (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(kestrix.ReadDmem(kPmu, 0x0F8, 0).empty());

    kestrix.WriteDmem(kPmu, 0x0F9, {0xA1, 0xA2});
    kestrix.WriteDmem(kPmu, 0x0FF, {0xB1, 0xB2, 0xB3});
    EXPECT_EQ(kestrix.Pmu().dmem[0x0F8 / 4], 0x44A2A111u);
    EXPECT_EQ(kestrix.Pmu().dmem[0x0FC / 4], 0xB1776655u);
    EXPECT_EQ(kestrix.Pmu().dmem.size(), 0x100u / 4);
}

TEST(SimKestrix, MailboxOfAStoppedEngineStaysNew)
{
    Engine engine;
    engine.Write(kPmu + 0x040, 0x1000000B);
    EXPECT_EQ(engine.Read(kPmu + 0x040), 0x1000000Bu);
    EXPECT_TRUE(engine.kestrix->Commands().empty());
}
} // namespace
