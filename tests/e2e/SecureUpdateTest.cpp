// romuvise on adapters whose EEPROM only the Kestrix microcontroller reaches:
// a signed image is written and reads back equal on a Cendra1 (kind 9),
// whose images are checked in software against the root the machine file
// names, and on a Dolvik1 (kind 12), whose microcode verifies them; an image
// either check refuses leaves the chip as it was.

#include "ProgramRun.h"

#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/machine/MachineDescription.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint32_t kOldVersion = 0x86041B00;
constexpr uint32_t kNewVersion = 0x86041C00;

// A signed image that romuvise finds fit for the adapter: its device, the
// board and a newer version.
std::vector<uint8_t> SignedPackage(uint16_t deviceId, size_t masterSigner = testkit::kRootKey)
{
    testkit::SignedImageSpec spec;
    spec.masterSigner = masterSigner;
    spec.describeBody = [deviceId](testkit::CGpuImageBuilder& builder)
    {
        testkit::InfoToken info;
        info.boardId = 0x0201;
        info.version = kNewVersion;
        builder.DeviceId(deviceId).HardwareDataArea(0x7E2B, 0x0001).Info(info).Version(
            kNewVersion, 2);
    };
    return testkit::BuildSignedImage(spec).bytes;
}
// One adapter of the kind holding chip0.bin of the folder; the machine
// trusts the test root when it names it.
nlohmann::json SecureMachine(CProgramFolder& folder, uint16_t deviceId, uint32_t kind,
                             bool namesTestRoot)
{
    nlohmann::json machine =
        testkit::MachineWithGpus({{deviceId, kind, "chip0.bin", "EF/3013", true}});
    if (namesTestRoot)
    {
        folder.WriteFile("root.salted", testkit::TestRootContainer());
        folder.WriteFile("root.pass", testkit::TestRootPassPhrase());
        machine["certificate_root"] = {{"container", "root.salted"}, {"pass_phrase", "root.pass"}};
    }
    return machine;
}
} // namespace

TEST(SecureUpdate, SignedImagesAreWrittenThroughTheMicrocontroller)
{
    struct Case
    {
        const char* name;
        uint16_t deviceId;
        uint32_t kind;
        bool namesTestRoot;
        // The microcode's answer to the image verification.
        uint32_t verification;
        int exitCode;
        // A text of the run's output (standard output, then error output).
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"Cendra1, checked in software", 0x0900, 9, true, 0, 0, "Update successful."},
        {"Dolvik1, verified by the microcode", 0x0C00, 12, true, 0, 0, "Update successful."},
        // The built-in root does not trust the test chain.
        {"Cendra1 trusting the built-in root", 0x0900, 9, false, 0, 3,
         "I/O ERROR:  Error: Failed certification sanity check."},
        // CMD_VBIOS_VERIFY_CERT_VERIFY_FAIL.
        {"Dolvik1 whose microcode refuses", 0x0C00, 12, true, 15, 5,
         "\nUpdate Aborted - Invalid firmware image detected.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        const std::vector<uint8_t> old =
            MakeFirmware({.deviceId = c.deviceId, .version = kOldVersion});
        folder.WriteFile("chip0.bin", old);
        nlohmann::json machine = SecureMachine(folder, c.deviceId, c.kind, c.namesTestRoot);
        if (c.verification != 0)
        {
            machine["devices"][0]["error_codes"] = {
                {std::to_string(14), c.verification}}; // the verification command
        }
        folder.UseMachine(machine);
        const std::vector<uint8_t> package = SignedPackage(c.deviceId);
        ASSERT_EQ(folder.Stamp(package).exitCode, 0);

        const ProgramResult run = folder.Updater("", "y");

        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.shown), std::string::npos) << run.out << run.err;
        EXPECT_TRUE(ChipHolds(folder.Chip(0), c.exitCode == 0 ? package : old));
    }
}

// Both programs on every secure adapter kind the updater knows (Cendra1,
// Cendra2, Dolvik, Dolvik1) of a machine that names its own root: an image
// signed under that root is written by romuvise and by romvise alike, and one
// whose master certificate a throwaway key signed is refused by both (by the
// software check on Cendra1, by the microcode's check on the later kinds)
// and leaves the chip as it was.
TEST(SecureUpdate, BothProgramsWriteWhatTheMachinesRootSignedAndNothingElse)
{
    struct Case
    {
        uint16_t deviceId;
        uint32_t kind;
        size_t masterSigner;
        bool written;
    };
    const std::vector<Case> cases = {
        {0x0900, 9, testkit::kRootKey, true},  {0x0900, 9, testkit::kStrangerKey, false},
        {0x0A00, 10, testkit::kRootKey, true}, {0x0A00, 10, testkit::kStrangerKey, false},
        {0x0B00, 11, testkit::kRootKey, true}, {0x0B00, 11, testkit::kStrangerKey, false},
        {0x0C00, 12, testkit::kRootKey, true}, {0x0C00, 12, testkit::kStrangerKey, false},
    };
    for (const Case& c : cases)
    {
        const std::vector<uint8_t> old =
            MakeFirmware({.deviceId = c.deviceId, .version = kOldVersion});
        const std::vector<uint8_t> image = SignedPackage(c.deviceId, c.masterSigner);
        for (const std::string program : {"romuvise", "romvise"})
        {
            SCOPED_TRACE("kind " + std::to_string(c.kind) + ", " + program + ", " +
                         (c.written ? "signed under the machine's root" : "throwaway signer"));
            CProgramFolder folder;
            folder.WriteFile("chip0.bin", old);
            folder.UseMachine(SecureMachine(folder, c.deviceId, c.kind, true));
            ProgramResult run;
            if (program == "romuvise")
            {
                ASSERT_EQ(folder.Stamp(image).exitCode, 0);
                run = folder.Updater("", "y");
            }
            else
            {
                folder.WriteFile("n.rom", image);
                run = folder.Romvise("--auto --index=0 n.rom");
            }
            EXPECT_EQ(run.exitCode == 0, c.written) << run.out << run.err;
            EXPECT_TRUE(ChipHolds(folder.Chip(0), c.written ? image : old));
        }
    }
}
