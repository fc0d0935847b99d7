// The image verification command VV: its arguments, the push and devinit
// requests the microcode raises while it works, the certificate-information
// block that lands in the image, and its failures.

#include "KestrixRig.h"

#include "image/ROMImageGPUImpl.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint32_t kVV = KR_UCODE_CMD_COMMAND_VV;

// A GPU image with fixed verification offsets that records the certificate-
// information block written into it.
class CRecordingImage : public CROMImageGPUImpl
{
public:
    explicit CRecordingImage(const std::vector<uint8_t>& bytes)
        : CROMImageGPUImpl(bytes.data(), static_cast<uint32_t>(bytes.size()))
    {
    }
    uint32_t GetInfoDword88() override { return 0x2000; }
    int32_t MapExtendedOffset(int32_t offset) override { return devinit ? offset + 0x10 : -1; }
    int32_t GetInfoPointer7Offset() override { return initPointer ? 0x3456 : -1; }
    void GetDevinitOffsets(int32_t& scriptTable, int32_t& tables) override
    {
        scriptTable = 0x1234;
        tables = -1;
    }
    bool WriteCertInfoBlock(const uint8_t* bytes, uint32_t count) override
    {
        certInfo.assign(bytes, bytes + count);
        return true;
    }

    bool devinit = true;
    bool initPointer = true;
    std::vector<uint8_t> certInfo;
};

// An image signed under the test chain, which the rig's machine trusts.
const std::vector<uint8_t>& ImageBytes()
{
    static const std::vector<uint8_t> bytes = testkit::BuildSignedImage().bytes;
    return bytes;
}

// A Dolvik1 rig whose machine trusts the test root.
struct TrustingRig : KestrixRig
{
    explicit TrustingRig(SimKestrixConfig config = {}) : KestrixRig(std::move(config))
    {
        scope.Machine().SetTrustedRoot(
            {testkit::TestRootContainer(), testkit::TestRootPassPhrase()});
    }
};

SimKestrixConfig WithProbe(uint32_t offset, uint32_t count, bool fromIfr = false)
{
    SimKestrixConfig config;
    config.vvProbe = SimKestrixConfig::Probe{offset, count, fromIfr};
    return config;
}

uint32_t ImageWord(size_t offset)
{
    return KestrixWordAt(ImageBytes(), offset);
}

const std::vector<uint8_t> kCertInfo = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,
                                        0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE};

TEST(KestrixVerify, ServesRequestsAndLandsTheCertificateInformationInTheImage)
{
    SimKestrixConfig config = WithProbe(0x10, 12);
    config.vvCertInfo = kCertInfo;
    TrustingRig rig(config);
    CRefPtr<CKestrixLoader> loader = rig.Load();
    rig.gpu->SetRegister(0x10A454, 0x5555);
    rig.gpu->SetRegister(0x10A47C, 0x1234);
    for (uint32_t k = 0; k < 10; ++k)
    {
        rig.kestrix->Write(0x10A450 + 4 * k, 0xAA00 + k);
    }
    rig.kestrix->Write(0x10A47C, 0x77);
    auto* image = new CRecordingImage(ImageBytes());
    CRefPtr<IROMImage> held(image);
    const std::vector<uint8_t> certificate = {1, 2, 3, 4, 5};

    EXPECT_EQ(loader->SendVVCommand(rig.adapter, held, &certificate, &rig.log), 0u);

    const CSimKestrix::Command& vv = rig.kestrix->Commands().back();
    EXPECT_EQ(vv.id, kVV);
    EXPECT_EQ(std::vector<uint32_t>(vv.arguments.begin(), vv.arguments.begin() + 4),
              (std::vector<uint32_t>{0xB, 5, 0x2010, 0x3456}));
    EXPECT_EQ(rig.kestrix->ReadDmem(CSimKestrix::kPmuBase, 0x1000, 5), certificate);
    // Three image words at 0x10 answered the push request, the devinit
    // offsets the devinit request.
    const std::vector<uint32_t>& pushed = rig.kestrix->VVPushedWords();
    EXPECT_EQ(pushed[0], ImageWord(0x10));
    EXPECT_EQ(pushed[2], ImageWord(0x18));
    EXPECT_EQ(pushed[3], 0u);
    EXPECT_EQ(rig.kestrix->VVDevinitWords(), (std::vector<uint32_t>{0x1234, 0xFFFFFFFF}));
    // The block reached the image and the loader keeps it.
    EXPECT_EQ(image->certInfo, kCertInfo);
    EXPECT_EQ(loader->GetCertificateInformation().byteCount, kCertInfo.size());
    EXPECT_EQ(loader->GetCertificateInformation().flags, 1u);
    // The borrowed registers are given back.
    for (uint32_t k = 0; k < 10; ++k)
    {
        EXPECT_EQ(rig.kestrix->Read(0x10A450 + 4 * k), 0xAA00 + k);
    }
    EXPECT_EQ(rig.kestrix->Read(0x10A47C), 0x77u);
    EXPECT_NE(rig.logText.str().find("Send PMU VV Command... \n"), std::string::npos);
    EXPECT_NE(rig.logText.str().find(" waiting loops\n"), std::string::npos);
}

// The microcode pulls the certificate block through push requests of at most
// 40 bytes at 20-bit offsets and accepts only a signing certificate whose
// chain ends in the machine's root.
TEST(KestrixVerify, TheMicrocodeAcceptsOnlyImagesSignedUnderTheMachinesRoot)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> image;
        bool machineNamesTestRoot;
        uint32_t result;
    };
    testkit::SignedImageSpec throwaway;
    throwaway.masterSigner = testkit::kStrangerKey;
    testkit::SignedImageSpec x509;
    x509.packageKind = 1;
    testkit::SignedImageSpec withInitFromRom;
    withInitFromRom.initFromRom = 0x800;
    const std::vector<Case> cases = {
        {"signed under the machine's root", ImageBytes(), true, 0},
        {"behind an init-from-ROM segment", testkit::BuildSignedImage(withInitFromRom).bytes, true,
         0},
        // CMD_VBIOS_VERIFY_CERT_VERIFY_FAIL.
        {"master signed by a throwaway key", testkit::BuildSignedImage(throwaway).bytes, true, 15},
        {"machine trusting the built-in root", ImageBytes(), false, 15},
        // CMD_VBIOS_VERIFY_CERT_PARSE_FAIL.
        {"X.509 package", testkit::BuildSignedImage(x509).bytes, true, 14},
        // CMD_VBIOS_VERIFY_CERT_NOT_FOUND.
        {"unsigned image", testkit::CGpuImageBuilder().Block(0, 0x1000).Build(), true, 13},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SimKestrixConfig config;
        config.vvCertInfo = kCertInfo;
        KestrixRig rig(config);
        if (c.machineNamesTestRoot)
        {
            rig.scope.Machine().SetTrustedRoot(
                {testkit::TestRootContainer(), testkit::TestRootPassPhrase()});
        }
        CRefPtr<CKestrixLoader> loader = rig.Load();
        auto* image = new CRecordingImage(c.image);
        CRefPtr<IROMImage> held(image);

        EXPECT_EQ(loader->SendVVCommand(rig.adapter, held, nullptr, &rig.log), c.result);

        EXPECT_EQ(image->certInfo.empty(), c.result != 0);
        const std::vector<uint32_t>& requests = rig.kestrix->VVPushRequests();
        EXPECT_GT(requests.size(), 1u);
        for (const uint32_t request : requests)
        {
            EXPECT_EQ(request >> 28, 2u) << std::hex << request; // a push request on the image
            EXPECT_LE((request >> 20) & 0xFF, 40u) << std::hex << request;
        }
    }
}

TEST(KestrixVerify, PushRequests)
{
    struct Case
    {
        const char* name;
        uint32_t offset;
        uint32_t count;
        bool fromIfr;
        std::vector<uint32_t> pushed; // the ten transfer registers
    };
    std::vector<uint32_t> all(10);
    for (uint32_t k = 0; k < 10; ++k)
    {
        all[k] = ImageWord(0x100 + 4 * k);
    }
    const std::vector<Case> cases = {
        {"ten registers", 0x100, 40, false, all},
        {"a part word is sent whole",
         0x20,
         6,
         false,
         {ImageWord(0x20), ImageWord(0x24), 0, 0, 0, 0, 0, 0, 0, 0}},
        {"no IFR segment", 0x20, 8, true, std::vector<uint32_t>(10, 0)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TrustingRig rig(WithProbe(c.offset, c.count, c.fromIfr));
        CRefPtr<CKestrixLoader> loader = rig.Load();
        for (uint32_t k = 0; k < 10; ++k)
        {
            rig.kestrix->Write(0x10A450 + 4 * k, 0xEEEE);
        }
        CRefPtr<IROMImage> image(new CRecordingImage(ImageBytes()));
        EXPECT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 0u);
        EXPECT_EQ(rig.kestrix->VVPushedWords(), c.pushed);
    }
}

TEST(KestrixVerify, ArgumentsWithoutCertificateOrOffsets)
{
    TrustingRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    auto* image = new CRecordingImage(ImageBytes());
    image->devinit = false;
    image->initPointer = false;
    CRefPtr<IROMImage> held(image);
    EXPECT_EQ(loader->SendVVCommand(rig.adapter, held, nullptr, &rig.log), 0u);
    const CSimKestrix::Command& vv = rig.kestrix->Commands().back();
    EXPECT_EQ(std::vector<uint32_t>(vv.arguments.begin(), vv.arguments.begin() + 4),
              (std::vector<uint32_t>{0, 0, 0, 0}));
    // No block offered: nothing written into the image.
    EXPECT_TRUE(image->certInfo.empty());
}

TEST(KestrixVerify, AFailedVerificationIsReportedAndKeepsNoOldBlock)
{
    SimKestrixConfig config;
    config.vvCertInfo = kCertInfo;
    TrustingRig rig(config);
    CRefPtr<CKestrixLoader> loader = rig.Load();
    CRefPtr<IROMImage> image(new CRecordingImage(ImageBytes()));
    ASSERT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 0u);
    ASSERT_EQ(loader->GetCertificateInformation().bytes.size(), 16u);

    rig.kestrix->Config().errorCodes[kVV] = 72;
    EXPECT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 72u);
    EXPECT_TRUE(loader->GetCertificateInformation().bytes.empty());
    EXPECT_EQ(rig.ui->messages.back(),
              "1:Command id:3000000E Command: KR_UCODE_CMD_COMMAND_VV failed\n"
              "Command Status:KR_UCODE_CMD_STS_COMPLETE  Error Code: 00000048\n"
              "Error: KR_UCODE_ERR_CODE_GPU_INITIALIZATION_SCRIPTS_SIG_CHECK_FAILED \n");
}

TEST(KestrixVerify, CertificateInformationOutsideDataMemoryIsRefused)
{
    SimKestrixConfig config;
    config.vvCertInfo = kCertInfo;
    config.vvCertInfoOffset = 0xFFF8;
    TrustingRig rig(config);
    CRefPtr<CKestrixLoader> loader = rig.Load();
    auto* image = new CRecordingImage(ImageBytes());
    CRefPtr<IROMImage> held(image);
    EXPECT_EQ(loader->SendVVCommand(rig.adapter, held, nullptr, &rig.log), 0u);
    EXPECT_TRUE(image->certInfo.empty());
    EXPECT_EQ(rig.ui->messages.back(), "1: VV certificate information is out of range");
}

TEST(KestrixVerify, WithoutLoadedMicrocodeTouchesNothing)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader(
        new CKestrixLoader(rig.adapter, "/nonexistent/ucode.bin", KESTRIX_PMU, false));
    rig.gpu->RecordAccesses(true);
    CRefPtr<IROMImage> image(new CRecordingImage(ImageBytes()));
    EXPECT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 10u);
    // Other commands of a loader that never loaded do not complete.
    EXPECT_EQ(loader->IdentifyEEPROM(), 1u);
    std::array<uint8_t, 32> ecid{};
    EXPECT_EQ(loader->ReadECID(ecid, 1), 1u);
    EXPECT_TRUE(rig.gpu->Accesses().empty());
}

TEST(KestrixVerify, APushRequestTooLargeToAnswerDoesNotHoldTheWaitForEver)
{
    // 41 to 44 bytes need eleven words, one more than the transfer registers
    // hold: the request stays unanswered, the register behind the last one is
    // not written, and the request's passes, which the wait does not count,
    // run out.
    constexpr uint32_t kPastTheTransferRegisters = 0x10A478;
    for (const uint32_t count : {41u, 42u, 43u, 44u})
    {
        SCOPED_TRACE(count);
        TrustingRig rig(WithProbe(0x10, count));
        CRefPtr<CKestrixLoader> loader = rig.Load();
        rig.gpu->SetRegister(kPastTheTransferRegisters, 0x5EA1ED);
        CRefPtr<IROMImage> image(new CRecordingImage(ImageBytes()));
        EXPECT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 1u);
        EXPECT_EQ(rig.ui->messages.back(), "1: VV Command failed to complete mailbox0 = 2000000E");
        EXPECT_TRUE(rig.kestrix->VVPushedWords().empty());
        EXPECT_EQ(rig.gpu->Register(kPastTheTransferRegisters), 0x5EA1EDu);
    }
}

// After a command that timed out, the verification's or another's, nothing
// reaches the mailbox, verifications included, until the engine is reset.
TEST(KestrixVerify, NothingIsSentAfterATimeoutUntilTheEngineIsReset)
{
    CRefPtr<IROMImage> image(new CRecordingImage(ImageBytes()));
    struct Case
    {
        const char* name;
        uint32_t stuck;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"a verification", kVV, "1: VV Command failed to complete mailbox0 = 2000000E"},
        {"another command", KR_UCODE_CMD_COMMAND_CLOSE,
         "1: Command failed to complete mailbox0 = 2000000B"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SimKestrixConfig config;
        config.neverComplete = {c.stuck};
        KestrixRig rig(config);
        CRefPtr<CKestrixLoader> loader = rig.Load();
        const uint32_t stuckResult = c.stuck == kVV
                                         ? loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log)
                                         : loader->SendCommand(c.stuck);
        EXPECT_EQ(stuckResult, 1u);
        EXPECT_EQ(rig.ui->messages.back(), c.failure);
        const uint32_t writes = rig.kestrix->MailboxWrites();

        EXPECT_EQ(loader->SendCommand(KR_UCODE_CMD_COMMAND_EID), 1u);
        EXPECT_EQ(loader->SendVVCommand(rig.adapter, image, nullptr, &rig.log), 1u);
        EXPECT_EQ(rig.ui->messages.back(),
                  "1: Command not sent: the microcode did not complete an earlier command");
        EXPECT_EQ(rig.kestrix->MailboxWrites(), writes);

        loader->ResetEngine(*rig.adapter);
        rig.kestrix->Config().neverComplete.clear();
        loader->SendCommand(KR_UCODE_CMD_COMMAND_CLOSE);
        EXPECT_EQ(rig.kestrix->MailboxWrites(), writes + 1);
    }
}
} // namespace
