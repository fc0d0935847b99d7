// Preservation-data tuning on the simulated machine: reads answered from the
// chip, a change written back and found in the chip, and a list with one
// failing change leaving the chip untouched.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "image/IPreserveTune.h"

#include <gtest/gtest.h>

namespace
{
// The engine's test firmware whose preservation table keeps register 0x3000
// (value 0x12345678) for board configuration 0, the simulated GPU's.
std::vector<uint8_t> FirmwareWithPreservedRegister()
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001);
    const std::vector<uint8_t> script = testkit::ScriptWrite(0x3000, 0x12345678);
    const uint32_t at = builder.Place(script);
    testkit::InfoToken info;
    info.boardId = 0x0201;
    info.version = 0x86041B00;
    info.preservationTable = static_cast<uint16_t>(builder.PreservationTable(
        0x11,
        {{static_cast<uint16_t>(at), static_cast<uint16_t>(script.size()), 0xC0, 0},
         {0x100, 4, 0x90, 3}},
        1));
    return builder.Info(info).Version(0x86041B00, 2).Build();
}

PreservationTuneRequest Register(uint32_t kind, uint32_t address, uint32_t value = 0)
{
    PreservationTuneRequest request;
    request.requestKind = kind;
    request.registerAddress = address;
    request.value = value;
    return request;
}

uint32_t PreservedOnChip(CFlasherMachine& rig)
{
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    uint32_t value = 0;
    EXPECT_TRUE(IPreserveTune::CreateForStraps(0)->FindRegister(image.get(), 0x3000, value, nullptr));
    return value;
}
} // namespace

TEST(FlasherTuning, ReadsAnswerFromTheChipAndWriteNothing)
{
    CFlasherMachine rig({{0x0800, 8, FirmwareWithPreservedRegister()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    std::vector<PreservationTuneRequest> requests = {Register(kTuneReadRegister, 0x3000),
                                                     Register(kTuneReadRegister, 0x7000)};
    rig.flasher->TunePreservationData(rig.ui, nullptr, rig.bus, rig.Adapter(0), rig.database,
                                      requests, false, &rig.log);
    EXPECT_NE(rig.Shown().find("\n Reading Preserved setting for REG 0x00003000 = 0x12345678\n"
                               "\n Preserved setting for REG 0x00007000 : Not Found !\n"),
              std::string::npos);
    EXPECT_EQ(rig.Shown().find("Stil process"), std::string::npos) << "no question";
    EXPECT_EQ(rig.ChipBytes(0), before);
    EXPECT_TRUE(rig.DriverBound(0));
}

TEST(FlasherTuning, OneFailingChangeLeavesTheChipUntouched)
{
    CFlasherMachine rig({{0x0800, 8, FirmwareWithPreservedRegister()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    // The failing change comes first: the last answer alone must not decide.
    std::vector<PreservationTuneRequest> requests = {Register(kTuneSetRegister, 0x7000, 1),
                                                     Register(kTuneSetRegister, 0x3000, 0xAB)};
    rig.flasher->TunePreservationData(rig.ui, nullptr, rig.bus, rig.Adapter(0), rig.database,
                                      requests, true, &rig.log);
    EXPECT_NE(rig.Shown().find("\n Tuning preserved setting for  REG 0x00007000 to 0x00000001\n"
                               "\n Preserved setting for Register 0x00007000 : Not Found !\n"),
              std::string::npos);
    EXPECT_EQ(rig.ChipBytes(0), before);
    EXPECT_EQ(rig.Logged().find("Preservation Data Tuning confirmation skipped."), std::string::npos);
    EXPECT_TRUE(rig.DriverBound(0));
}

TEST(FlasherTuning, AConfirmedChangeIsFoundInTheChip)
{
    CFlasherMachine rig({{0x0800, 8, FirmwareWithPreservedRegister()}});
    PreservationTuneRequest bits = Register(kTuneSetRegister, 0x3000, 0xAB);
    bits.lowBit = 8;
    bits.highBit = 15;
    std::vector<PreservationTuneRequest> requests = {bits, Register(kTuneReadRegister, 0x3000)};
    rig.console->keys = {'y'};
    rig.flasher->TunePreservationData(rig.ui, nullptr, rig.bus, rig.Adapter(0), rig.database,
                                      requests, false, &rig.log);
    const std::string shown = rig.Shown();
    EXPECT_NE(shown.find(" Tuning preserved setting for  REG 0x00003000[15:08] to 0x000000AB\n"),
              std::string::npos);
    // The read shows the value before the change.
    EXPECT_NE(shown.find(" Reading Preserved setting for REG 0x00003000 = 0x12345678\n"),
              std::string::npos);
    EXPECT_NE(shown.find("Stil process Preservation Data Tuning?"), std::string::npos);
    EXPECT_NE(shown.find("Preservation Data Tuning completed.\n"), std::string::npos);
    EXPECT_EQ(PreservedOnChip(rig), 0x1234AB78u);
}
