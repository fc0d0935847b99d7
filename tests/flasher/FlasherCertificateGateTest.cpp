// The certificate gate: which answers of the chain check and of the
// microcode let an image through, and what a refusal shows and logs.

#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/CapturedOutput.h"

#include <gtest/gtest.h>

#include <iostream>

namespace
{
const char* const kShort = "\nUpdate Aborted - Invalid firmware image detected.\n";

struct LevelCase
{
    int32_t level;
    bool accepted;
    const char* logLine;
};

const LevelCase kLevelCases[] = {
    {2, true, ""},
    {5, true, ""},
    {7, true, ""},
    {1, false, "BCRT Error: VBIOS uncertified"},
    {8, false, "BCRT Error: Certificate verification failed"},
    // Answers the check is not known to give are refused too.
    {0, false, "BCRT Error: Certificate verification failed"},
    {9, false, "BCRT Error: Certificate verification failed"},
    {-1, false, "BCRT Error: Certificate verification failed"},
};
} // namespace

TEST(FlasherCertificateGate, OlderKindsPassOnlyTheVendorLevels)
{
    CFlasherMachine rig({{0x0900, 9, MakeFirmware()}});
    CRefPtr<IROMImage> image = FirmwareBuilder().BuildImage();
    CRefPtr<CFakeEEPROM> secure(new CFakeEEPROM(256, 4, true));
    secure->secure = true;
    for (const LevelCase& c : kLevelCases)
    {
        SCOPED_TRACE(c.level);
        int checks = 0;
        rig.flasher->SetCertificateGateServices(
            {[&](CRefPtr<IROMImage>, CLog*) { return ++checks, c.level; }, {}, {}});
        rig.logText.str("");
        secure->softwareVerdict = !c.accepted;
        testkit::CCapturedOutput console;
        EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(0), image, secure.get(), nullptr,
                                                      &rig.log, false),
                  c.accepted ? 0 : -1);
        EXPECT_EQ(checks, 1);
        EXPECT_EQ(rig.Logged(), c.accepted ? "" : "\n" + std::string(c.logLine) + "\n");
        EXPECT_EQ(console.Text(), c.accepted ? "" : std::string(kShort) + "\n");
        // The EEPROM behind the microcontroller writes what the gate let
        // through, and only that.
        EXPECT_EQ(secure->softwareVerdict, std::optional<bool>(c.accepted));
    }
    // A check that throws leaves an earlier acceptance withdrawn.
    rig.flasher->SetCertificateGateServices(
        {[](CRefPtr<IROMImage>, CLog*) -> int32_t { throw std::runtime_error("broken chain"); },
         {},
         {}});
    secure->softwareVerdict = true;
    EXPECT_THROW(rig.flasher->VerifyImageCertificate(rig.Adapter(0), image, secure.get(), nullptr,
                                                     &rig.log, false),
                 std::runtime_error);
    EXPECT_EQ(secure->softwareVerdict, std::optional<bool>(false));
}

TEST(FlasherCertificateGate, DirectEEPROMsAreNotCheckedAndMissingChecksRefuse)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}, {0x0C00, 12, MakeFirmware()}});
    CRefPtr<IROMImage> image = FirmwareBuilder().BuildImage();
    int checks = 0;
    rig.flasher->SetCertificateGateServices(
        {[&](CRefPtr<IROMImage>, CLog*) { return ++checks, 8; }, {}, {}});
    CRefPtr<CFakeEEPROM> direct(new CFakeEEPROM(256, 4, true));
    EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(0), image, direct.get(), nullptr,
                                                  &rig.log, true),
              0);
    EXPECT_EQ(checks, 0);

    rig.flasher->SetCertificateGateServices({});
    CRefPtr<CFakeEEPROM> secure(new CFakeEEPROM(256, 4, true));
    secure->secure = true;
    testkit::CCapturedOutput console;
    EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(0), image, secure.get(), nullptr,
                                                  &rig.log, true),
              -1);
    EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(1), image, secure.get(), nullptr,
                                                  &rig.log, true),
              -1);
    EXPECT_EQ(console.Text(), "\nERROR:BIOS Cert Verification Error, Update aborted\n\n"
                              "\nERROR: VBIOS uncertified, Update aborted\n\n");
}

namespace
{
struct MicrocodeCase
{
    const char* name;
    int32_t package; // -1: none; else the package's format version is 1 at 0x800
    uint32_t format;
    int32_t verified; // the microcode's answer
    uint32_t sku;     // register 0x2128C
    int32_t result;
    const char* logged;
    const char* shown;
};

const MicrocodeCase kMicrocodeCases[] = {
    {"accepted", 0x800, 2, 0, 0, 0, "\nBCRT: Start Certificate 2.0 verification by PMU\n", ""},
    {"no package", -1, 2, 0, 0, -1, "\nBCRT Error: VBIOS uncertified\n",
     "\nERROR: VBIOS uncertified, Update aborted\n\n"},
    {"old package", 0x800, 1, 0, 0, -1, "\nBCRT Error: Invalid Certificate Version found\n",
     "\nERROR:BIOS Cert Verification Error, Update aborted\n\n"},
    {"scripts", 0x800, 2, 0x48, 0, 0x48,
     "\nBCRT: Start Certificate 2.0 verification by PMU\n\nGPU Initialization scripts signature "
     "check failed. Update aborted.\n",
     "\nGPU Initialization scripts signature check failed. Update aborted.\n\n"},
    {"tables", 0x800, 2, 0x47, 0, 0x47,
     "\nBCRT: Start Certificate 2.0 verification by PMU\n\nGPU Initialization tables signature "
     "check failed. Update aborted.\n",
     "\nGPU Initialization tables signature check failed. Update aborted.\n\n"},
    {"other failure", 0x800, 2, 5, 0, 5,
     "\nBCRT: Start Certificate 2.0 verification by PMU\n\nBCRT Error: Certificate 2.0 "
     "verification failed\n",
     "\nBIOS Cert 2.0 Verification Error, Update aborted.\n\n"},
    {"SKU without signature type 3", 0x800, 2, 0, 2, -1,
     "\nBCRT: Start Certificate 2.0 verification by PMU\n\nCompatibility Error: Invalid ROMVISE "
     "Version found\n",
     "\nThis version of Romvise is not compatible with this version of HW SKU, Update "
     "aborted.\n\n"},
};
} // namespace

TEST(FlasherCertificateGate, NewerKindsAskTheMicrocodeThenTheHardwareSku)
{
    CFlasherMachine rig({{0x0C00, 12, MakeFirmware()}});
    rig.bus->MapAdapter(rig.Adapter(0));
    CRefPtr<CFakeEEPROM> secure(new CFakeEEPROM(256, 4, true));
    secure->secure = true;
    for (const MicrocodeCase& c : kMicrocodeCases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = FirmwareBuilder().BuildImage();
        image->SetDword(0x800, c.format);
        rig.Gpu(0).SetRegister(0x2128C, c.sku);
        int asked = 0;
        rig.flasher->SetCertificateGateServices(
            {{},
             [&](CRefPtr<IROMImage>) { return c.package; },
             [&](CRefPtr<IDisplayAdapter>, CRefPtr<IEEPROM>, CRefPtr<IROMImage>, CRefPtr<IBCRTCert>,
                 CLog*, bool) { return ++asked, c.verified; }});
        rig.logText.str("");
        testkit::CCapturedOutput console;
        EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(0), image, secure.get(), nullptr,
                                                      &rig.log, true),
                  c.result);
        EXPECT_EQ(asked, c.package == -1 || c.format == 1 ? 0 : 1);
        EXPECT_EQ(rig.Logged(), c.logged);
        EXPECT_EQ(console.Text(), c.shown);
        // The microcode's own verification governs these writes; an image
        // the SKU refuses loses the acceptance the microcode gave it.
        const bool skuRefused = std::string(c.shown).find("HW SKU") != std::string::npos;
        EXPECT_EQ(secure->softwareVerdict,
                  skuRefused ? std::optional<bool>(false) : std::optional<bool>());
        secure->softwareVerdict.reset();
    }
}
