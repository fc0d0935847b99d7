// The engine as it is made, with the layers beneath it: the certificate
// gate over the chain of trust and the package lookup, the image layer's
// UEFI merge on the simulated machine, and Kestrix loaders for secure
// EEPROMs.

#include "FakeEEPROM.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/FlasherDefaultServices.h"
#include "testkit/CapturedOutput.h"
#include "testkit/ErrorOf.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/UefiBuilder.h"
#include "tests/eeprom/KestrixRig.h"

#include <gtest/gtest.h>

#include <iostream>
#include <numeric>

using testkit::ErrorOf;

namespace
{
CRefPtr<IROMImage> SignedImage(uint32_t vendorType = 6, uint32_t packageKind = 2)
{
    testkit::SignedImageSpec spec;
    spec.vendorType = vendorType;
    spec.packageKind = packageKind;
    return testkit::BuildSignedImage(spec).Image();
}

// A signed image beside which a stranger's EFI block was put before signing.
CRefPtr<IROMImage> WithUnsignedEfi(testkit::UnsignedEfiBlock place)
{
    testkit::SignedImageSpec spec;
    spec.unsignedEfi = place;
    return testkit::BuildSignedImage(spec).Image();
}

CRefPtr<IROMImage> TamperedImage()
{
    testkit::SignedImage image = testkit::BuildSignedImage();
    image.bytes.at(image.layout.bodyByte) ^= 1;
    return image.Image();
}

CRefPtr<CFakeEEPROM> SecureEEPROM()
{
    CRefPtr<CFakeEEPROM> eeprom(new CFakeEEPROM(256, 4, true));
    eeprom->secure = true;
    return eeprom;
}

const char* const kUncertified = "\nBCRT Error: VBIOS uncertified\n";
const char* const kChainFailed = "\nBCRT Error: Certificate verification failed\n";
} // namespace

TEST(FlasherDefaultServices, GateWithTheTestRootPassesSignedImagesAndRefusesTamperedOnes)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    const CertificateGateServices services = CertificateGateServicesWithRoot(
        testkit::TestRootContainer(), testkit::TestRootPassPhrase());
    rig.flasher->SetCertificateGateServices(services);
    struct Case
    {
        const char* name;
        CRefPtr<IROMImage> image;
        int32_t level;
        int32_t result;
        const char* logged;
    };
    const Case cases[] = {
        {"signed", SignedImage(), 5, 0, ""},
        {"KRD vendor", SignedImage(3), 2, 0, ""},
        {"unsigned", FirmwareBuilder().BuildImage(), 1, -1, kUncertified},
        {"tampered body", TamperedImage(), 8, -1, kChainFailed},
        {"EFI block before the x86 block", WithUnsignedEfi(testkit::UnsignedEfiBlock::BeforeX86), 8,
         -1, kChainFailed},
        {"EFI block after the x86 block", WithUnsignedEfi(testkit::UnsignedEfiBlock::AfterX86), 8,
         -1, kChainFailed},
        {"EFI block after the certificate block",
         WithUnsignedEfi(testkit::UnsignedEfiBlock::AfterCertificate), 8, -1, kChainFailed},
    };
    CRefPtr<CFakeEEPROM> secure = SecureEEPROM();
    // Keeps the gate's console messages out of the test output.
    testkit::CCapturedOutput quiet;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(services.verifyCertificateChain(c.image, nullptr), c.level);
        rig.logText.str("");
        EXPECT_EQ(rig.flasher->VerifyImageCertificate(rig.Adapter(0), c.image, secure.get(),
                                                      nullptr, &rig.log, true),
                  c.result);
        EXPECT_TRUE(rig.Logged().ends_with(c.logged)) << rig.Logged();
    }
}

TEST(FlasherDefaultServices, EngineIsMadeWithTheBuiltInRootAndThePackageLookup)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}, {0x0C00, 12, MakeFirmware()}});
    CRefPtr<CFakeEEPROM> secure = SecureEEPROM();
    // Keeps the gate's console messages out of the test output.
    testkit::CCapturedOutput quiet;
    auto verify = [&](size_t adapter, CRefPtr<IROMImage> image)
    {
        rig.logText.str("");
        return rig.flasher->VerifyImageCertificate(rig.Adapter(adapter), image, secure.get(),
                                                   nullptr, &rig.log, true);
    };

    // Older kinds: the production root does not trust the test chain.
    EXPECT_EQ(ErrorOf([&] { verify(0, SignedImage()); }),
              " Error: Failed certification sanity check.");
    EXPECT_EQ(verify(0, FirmwareBuilder().BuildImage()), -1);
    EXPECT_EQ(rig.Logged(), kUncertified);

    // Newer kinds: the package is found in the image and the EEPROM's
    // microcontroller verifies a current one; its refusal refuses the image.
    EXPECT_EQ(verify(1, FirmwareBuilder().BuildImage()), -1);
    EXPECT_EQ(rig.Logged(), kUncertified);
    EXPECT_EQ(verify(1, SignedImage(6, 1)), -1);
    EXPECT_EQ(rig.Logged(), "\nBCRT Error: Invalid Certificate Version found\n");
    EXPECT_EQ(secure->verifications, 0);
    secure->microcodeVerdict = 0x48;
    EXPECT_EQ(verify(1, SignedImage()), 0x48);
    EXPECT_EQ(rig.Logged(), "\nBCRT: Start Certificate 2.0 verification by PMU\n\nGPU "
                            "Initialization scripts signature check failed. Update aborted.\n");
    secure->microcodeVerdict = 0x31;
    EXPECT_EQ(verify(1, SignedImage()), 0x31);
    EXPECT_EQ(rig.Logged(), "\nBCRT: Start Certificate 2.0 verification by PMU\n\nBCRT Error: "
                            "Certificate 2.0 verification failed\n");
    EXPECT_EQ(secure->verifications, 2);
}

namespace
{
constexpr uint32_t kUpdatableVersion = 0x80011000;

std::vector<uint8_t> Driver(const std::string& version, const std::string& signer)
{
    return testkit::CUefiDriverBuilder()
        .BuildInfo(testkit::UefiBuildRecord(
            {{"VER", version}, {"DAT", "03.04.2026"}, {"CHG", "00042"}, {"VAR", "0204"}}))
        .Certificate(2, testkit::SignedDataFor(signer))
        .Build();
}

} // namespace

TEST(FlasherDefaultServices, UEFIFlashMergesTheDriverIntoTheChip)
{
    const std::vector<uint8_t> firmware =
        testkit::UefiGpuImage(testkit::EfiPosition::Public, Driver("1.0", "Old Signer"))
            .Version(kUpdatableVersion, 1)
            .Build();
    const std::vector<uint8_t> supplied =
        testkit::UefiGpuImage(testkit::EfiPosition::Public, Driver("2.0", "New Signer")).Build();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    rig.flasher->FlashUEFIImage(rig.ui, ImageOf(supplied), rig.Adapter(0), eeprom, &rig.log);

    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    CRefPtr<IROMImage> flashed = ImageOf(chip);
    EXPECT_EQ(flashed->GetUEFIVersion(), "2.0 (03.04.2026 @ 00042 )");
    EXPECT_EQ(flashed->GetUEFISigners(), std::vector<std::string>{"New Signer"});
    // The legacy block in front of the driver is the adapter's own.
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.begin() + 0x1000, chip.begin()));
    EXPECT_NE(rig.Logged().find("UEFI-Support = Yes\nROM Size = "), std::string::npos);
    EXPECT_NE(rig.Logged().find("Successful merge?: Yes\n"), std::string::npos);
}

TEST(FlasherDefaultServices, UEFIFlashRefusedByTheImageLeavesTheChip)
{
    // Without a firmware version the image is of no core that takes a new
    // driver.
    const std::vector<uint8_t> firmware =
        testkit::UefiGpuImage(testkit::EfiPosition::Public, Driver("1.0", "Old Signer")).Build();
    const std::vector<uint8_t> supplied =
        testkit::UefiGpuImage(testkit::EfiPosition::Public, Driver("2.0", "New Signer")).Build();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    CRefPtr<IEEPROM> eeprom = rig.OpenEEPROM(0);
    rig.flasher->IdentifyEEPROM(rig.ui, eeprom, rig.database, &rig.log, false);
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    EXPECT_EQ(ErrorOf(
                  [&] {
                      rig.flasher->FlashUEFIImage(rig.ui, ImageOf(supplied), rig.Adapter(0), eeprom,
                                                  &rig.log);
                  }),
              "GPU doesn't support having a UEFI update:\nCannot update: Image is not a Vove80 "
              "or Vezo70. [ Read as Core00]\n");
    EXPECT_EQ(rig.ChipBytes(0), before);
}

namespace
{
size_t Closes(const KestrixRig& rig)
{
    size_t count = 0;
    for (const CSimKestrix::Command& command : rig.kestrix->Commands())
    {
        count += command.id == KR_UCODE_CMD_COMMAND_CLOSE;
    }
    return count;
}

// A loader made by the default factory for the rig's adapter and attached
// by the engine, as the engine does for a secure EEPROM.
CRefPtr<IMicrocodeLoader> AttachDefaultLoader(KestrixRig& rig, CFlasherImpl& engine,
                                              CRefPtr<CFakeEEPROM> eeprom)
{
    MicrocodeLoaderRequest request;
    request.ui = rig.ui;
    request.bus = IPCIBus::Create();
    request.adapter = rig.adapter;
    request.eeprom = eeprom;
    request.log = &rig.log;
    CRefPtr<IMicrocodeLoader> loader = DefaultMicrocodeLoaderFactory()(request);
    engine.AttachMicrocodeLoader(loader, eeprom, nullptr);
    return loader;
}

CRefPtr<CFlasherImpl> NewEngine()
{
    return new CFlasherImpl(EngineSettings{.autoConfirm = true});
}

// The engine, the caller's loader and EEPROM let go, then the system layer
// restores the display driver and lets go of the flash context; returns the
// CLOSE commands sent before the system layer let go.
size_t LetGoAsTheRunEnds(KestrixRig& rig, CFlasherImpl& engine, CRefPtr<IMicrocodeLoader>& loader,
                         CRefPtr<CFakeEEPROM>& eeprom)
{
    engine.ReleaseMicrocodeLoader();
    loader = nullptr;
    eeprom = nullptr;
    const size_t closes = Closes(rig);
    GetCrossPlatform()->SetActiveAdapter(CRefPtr<IAdapterContext>(rig.adapter.get()));
    GetCrossPlatform()->RestoreDisplayDriver(nullptr);
    return closes;
}
} // namespace

TEST(FlasherDefaultServices, SecureEEPROMsGetAKestrixLoaderTheSystemLayerHolds)
{
    KestrixRig rig;
    CRefPtr<CFlasherImpl> engine = NewEngine();
    CRefPtr<CFakeEEPROM> eeprom = SecureEEPROM();
    CRefPtr<IMicrocodeLoader> loader = AttachDefaultLoader(rig, *engine, eeprom);
    ASSERT_TRUE(loader);
    EXPECT_EQ(loader->GetEngineType(), uint32_t{KESTRIX_PMU});
    EXPECT_TRUE(rig.kestrix->Pmu().running);
    ASSERT_NE(eeprom->GetLoader(), nullptr);
    EXPECT_EQ(GetCrossPlatform()->GetFlashLoader(),
              static_cast<IReferenceCount*>(eeprom->GetLoader()));

    // The session stays open until the system layer lets go too.
    EXPECT_EQ(LetGoAsTheRunEnds(rig, *engine, loader, eeprom), 0u);
    EXPECT_EQ(Closes(rig), 1u);
}

TEST(FlasherDefaultServices, KestrixLoaderRunsThePreOSSteps)
{
    KestrixRig rig;
    CRefPtr<CFlasherImpl> engine = NewEngine();
    CRefPtr<CFakeEEPROM> eeprom = SecureEEPROM();
    CRefPtr<IMicrocodeLoader> loader = AttachDefaultLoader(rig, *engine, eeprom);

    loader->Close();
    EXPECT_EQ(Closes(rig), 1u);
    loader->SetPreOSLoaded(true);
    loader->ResetEngine(rig.adapter);
    loader->SetSecureLoading(true, 0x100, 0x100);
    std::vector<uint8_t> code(0x300);
    std::iota(code.begin(), code.end(), uint8_t{0x10});
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6};
    loader->WriteMemory(rig.adapter, EMicrocodeMemory::Code, 0, code);
    loader->WriteMemory(rig.adapter, EMicrocodeMemory::Data, 0x200, data);
    loader->StartEngine(rig.adapter, 0x1234);

    const CSimKestrix::Engine& pmu = rig.kestrix->Pmu();
    EXPECT_EQ(rig.kestrix->ReadImem(CSimKestrix::kPmuBase, 0, 0x300), code);
    EXPECT_EQ(rig.kestrix->ReadDmem(CSimKestrix::kPmuBase, 0x200, 6), data);
    EXPECT_EQ(std::vector<bool>(pmu.secureBlocks.begin(), pmu.secureBlocks.begin() + 3),
              (std::vector<bool>{false, true, false}));
    EXPECT_EQ(pmu.bootVector, 0x1234u);
    EXPECT_TRUE(pmu.running);

    // The pre-OS application keeps running when every holder lets go.
    LetGoAsTheRunEnds(rig, *engine, loader, eeprom);
    EXPECT_EQ(Closes(rig), 1u);
}

TEST(FlasherDefaultServices, KestrixEngineThatStaysInResetStopsTheLoad)
{
    KestrixRig rig;
    CRefPtr<CFlasherImpl> engine = NewEngine();
    CRefPtr<IMicrocodeLoader> loader = AttachDefaultLoader(rig, *engine, SecureEEPROM());
    rig.kestrix->Config().resetNeverReady = true;
    EXPECT_EQ(ErrorOf([&] { loader->ResetEngine(rig.adapter); }),
              "Kestrix engine reset did not complete.  kestrix uCode load failed.");
}
