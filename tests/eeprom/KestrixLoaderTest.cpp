// The microcode loader against the simulated Kestrix engines: a whole load
// of built-in microcode, IMEM block writes, engine resets and the refusals of
// the factory.

#include "KestrixRig.h"

#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/kestrix/KestrixImageBuilder.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint32_t kPrep = 10;

TEST(KestrixLoader, LoadsBuiltInMicrocodeIntoThePmu)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    ASSERT_EQ(loader->GetLoadStatus(), 0u);

    const KestrixUcodeDescriptor* descriptor = FindKestrixUcodeForDeviceId(0x0C00);
    const KestrixParsedImage parsed =
        ParseKestrixImage({descriptor->image, descriptor->size}, 1, descriptor);
    const CSimKestrix::Engine& pmu = rig.kestrix->Pmu();
    // Code: two 256-byte blocks tagged 0 and 1; only the second lies in the
    // signed part [0x100, 0x200).
    EXPECT_EQ(rig.kestrix->ReadImem(CSimKestrix::kPmuBase, 0, 0x200), parsed.code);
    EXPECT_EQ(pmu.tags[0], 0u);
    EXPECT_EQ(pmu.tags[1], 1u);
    EXPECT_FALSE(pmu.secureBlocks[0]);
    EXPECT_TRUE(pmu.secureBlocks[1]);
    EXPECT_FALSE(pmu.tags[2].has_value());
    // Data: the segment with the device's signatures patched in and the pmu
    // named in the target record.
    const std::vector<uint8_t> dmem = rig.kestrix->ReadDmem(CSimKestrix::kPmuBase, 0, 0x200);
    EXPECT_EQ(dmem, parsed.data);
    EXPECT_TRUE(std::equal(descriptor->productionSignature, descriptor->productionSignature + 16,
                           dmem.begin()));
    EXPECT_TRUE(std::equal(descriptor->alternateProductionSignature,
                           descriptor->alternateProductionSignature + 16, dmem.begin() + 0x20));
    EXPECT_EQ(dmem[0x90 + 8], 1);
    // Started at 0 once, prepared once with no payload.
    EXPECT_EQ(pmu.bootVector, 0u);
    EXPECT_EQ(pmu.starts, 1u);
    ASSERT_EQ(rig.kestrix->Commands().size(), 1u);
    EXPECT_EQ(rig.kestrix->Commands()[0].id, kPrep);
    EXPECT_EQ(rig.kestrix->Commands()[0].arguments[0], 0u);
    EXPECT_EQ(rig.kestrix->Commands()[0].arguments[1], 0u);
    EXPECT_EQ(loader->GetEngineDmemSize(), 0x10000u);
}

class CPayload : public IKestrixPrepPayloadSource
{
public:
    std::optional<std::vector<uint8_t>> GetAdapterCertificate(IDisplayAdapter&, CLog*) override
    {
        return std::vector<uint8_t>{1, 2, 3, 4, 5, 6};
    }
};

TEST(KestrixLoader, PrepCarriesTheAdapterCertificateToAVersion3Mapper)
{
    KestrixRig rig;
    CPayload payload;
    KestrixLoadRequest request = rig.Request();
    request.payloadSource = &payload;
    CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);
    const CSimKestrix::Command& prep = rig.kestrix->Commands().at(0);
    EXPECT_EQ(prep.arguments[0], 1u);
    EXPECT_EQ(prep.arguments[1], 6u);
    EXPECT_EQ(rig.kestrix->PrepPayload(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(KestrixLoader, WrongSignatureKeepsTheEngineStoppedAndFailsTheLoad)
{
    SimKestrixConfig config;
    config.expectedSignature = std::array<uint8_t, 16>{9, 9, 9};
    KestrixRig rig(config);
    EXPECT_EQ(testkit::ErrorOf([&] { rig.Load(); }),
              "Kestrix PREP command failed.  kestrix uCode load failed.");
    EXPECT_TRUE(rig.kestrix->Pmu().refusedSignature);
    ASSERT_FALSE(rig.ui->messages.empty());
    EXPECT_EQ(rig.ui->messages.front(), "1: Command failed to complete mailbox0 = 1000000A");
}

TEST(KestrixLoader, RightSignatureStartsTheEngine)
{
    SimKestrixConfig config;
    config.expectedSignature.emplace();
    const KestrixUcodeDescriptor* descriptor = FindKestrixUcodeForDeviceId(0x0C00);
    std::copy_n(descriptor->productionSignature, 16, config.expectedSignature->begin());
    KestrixRig rig(config);
    EXPECT_EQ(rig.Load()->GetLoadStatus(), 0u);
    EXPECT_TRUE(rig.kestrix->Pmu().running);
}

TEST(KestrixLoader, FailedPrepFailsTheLoad)
{
    SimKestrixConfig config;
    config.errorCodes[kPrep] = 6;
    KestrixRig rig(config);
    EXPECT_EQ(testkit::ErrorOf([&] { rig.Load(); }),
              "Kestrix PREP command failed.  kestrix uCode load failed.");
    const std::vector<std::string>& shown = rig.ui->messages;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), "1:Command id:000A Command: KR_UCODE_CMD_COMMAND_PREP failed\n"
                            "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000006\n"
                            "Error: KR_UCODE_ERR_CODE_CMD_UNSUPPORTED_GPU \n"
                            "  uCode does not support this GPU. Please check GPU DevID.");
}

struct ResetCase
{
    const char* name;
    uint16_t deviceId;
    uint32_t deviceKind;
    bool resetNeverReady;
    bool dmaNeverIdle;
    uint32_t permission;
    std::string error;
    std::vector<std::string> messages; // before PREP's
};

TEST(KestrixLoader, ResetVariants)
{
    const std::string failed = "Kestrix engine reset did not complete.  kestrix uCode load failed.";
    const std::vector<ResetCase> cases = {
        {"newer pmu, permitted", 0x0C00, 12, false, false, 0x10, "(no error)", {}},
        {"newer pmu, not permitted",
         0x0C00,
         12,
         false,
         false,
         0x0,
         "(no error)",
         {"1:PMU does not permit a reset.", "1:PMU does not permit a reset (00000000)."}},
        {"older pmu", 0x0B00, 11, false, false, 0x0, "(no error)", {}},
        {"reset never ready", 0x0C00, 12, true, false, 0x10, failed, {}},
        {"DMA never idle", 0x0C00, 12, false, true, 0x10, failed, {}},
    };
    for (const ResetCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        SimKestrixConfig config;
        config.resetNeverReady = c.resetNeverReady;
        config.dmaNeverIdle = c.dmaNeverIdle;
        config.resetPermission = c.permission;
        KestrixRig rig(config, c.deviceId, c.deviceKind);
        EXPECT_EQ(testkit::ErrorOf([&] { rig.Load(); }), c.error);
        EXPECT_EQ(rig.ui->messages, c.messages);
        EXPECT_EQ(rig.kestrix->Pmu().resets, 1u);
        EXPECT_EQ(rig.kestrix->Commands().size(), c.error == failed ? 0u : 1u);
        if (c.deviceKind == 11)
        {
            // The older pmu is reset through its enable bit, which comes
            // back with bit 16.
            EXPECT_EQ(rig.gpu->Register(0x200) & 0x12000u, 0x12000u);
        }
        else
        {
            EXPECT_EQ(rig.gpu->Register(0x10A3C0), 0u);
        }
        EXPECT_EQ(rig.gpu->Register(0x10A07C), 1u);
        EXPECT_EQ(rig.gpu->Register(0x10A410), 0u);
    }
}

struct ImemCase
{
    const char* name;
    uint32_t byteCount;
    bool secure;
    uint32_t secureStart;
    uint32_t secureEnd;
    std::vector<bool> secureBlocks;
};

TEST(KestrixLoader, WritesImemInTaggedBlocksWithTheirSecureBit)
{
    const std::vector<ImemCase> cases = {
        {"window edges", 0x400, true, 0x100, 0x300, {false, true, true, false}},
        {"secure flag clear", 0x400, false, 0x100, 0x300, {false, false, false, false}},
        {"300 bytes", 300, true, 0x100, 0x200, {false, true}},
        {"258 bytes", 258, false, 0, 0, {false, false}},
    };
    for (const ImemCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        KestrixRig rig;
        CRefPtr<CKestrixLoader> loader = rig.Load();
        loader->image.secure = c.secure;
        loader->image.secureStart = c.secureStart;
        loader->image.secureEnd = c.secureEnd;
        std::vector<uint32_t> words((c.byteCount + 3) / 4);
        for (size_t i = 0; i < words.size(); ++i)
        {
            words[i] = 0xA0000000u + static_cast<uint32_t>(i);
        }
        rig.adapter->MapRegisters();
        loader->WriteMemory(kKestrixImem, 0, c.byteCount, words, *rig.adapter);
        const CSimKestrix::Engine& pmu = rig.kestrix->Pmu();
        for (size_t block = 0; block < c.secureBlocks.size(); ++block)
        {
            EXPECT_EQ(pmu.secureBlocks[block], c.secureBlocks[block]) << "block " << block;
            EXPECT_EQ(pmu.tags[block], block);
        }
        // Past the count a block holds only its own bytes and zero words.
        const uint32_t blocks = static_cast<uint32_t>(c.secureBlocks.size());
        for (uint32_t offset = 0; offset < blocks * 256; offset += 4)
        {
            uint32_t expected = 0;
            if (offset < c.byteCount)
            {
                expected = words[offset / 4];
                const uint32_t valid = std::min(4u, c.byteCount - offset);
                expected &= valid == 4 ? 0xFFFFFFFFu : (1u << (8 * valid)) - 1;
            }
            EXPECT_EQ(pmu.imem[offset / 4], expected) << "offset " << offset;
        }
    }
}

TEST(KestrixLoader, FactoryRefusals)
{
    struct Case
    {
        const char* name;
        uint32_t engineType;
        bool userImage;
        std::string fileName;
        uint16_t deviceId;
        std::string error;
    };
    const std::string missing =
        "loadkestrix command faild,  you must specify a Kestrix uCode image, using \"pmu\" or "
        "\"krdec\" ";
    const std::vector<Case> cases = {
        {"unsupported type", 6, false, "", 0x0C00,
         "Unsupported Kestrix Type.  kestrix uCode load failed."},
        {"sec without built-in image", KESTRIX_SEC, false, "", 0x0610,
         "Kestrix ucode could not be found for this GPU"},
        {"user image without a name", KESTRIX_PMU, true, "", 0x0C00, missing},
        {"user image for attach", KESTRIX_PMU_ATTACH, true, "x.bin", 0x0C00, missing},
        {"krdec attach", KESTRIX_KRDEC_ATTACH, false, "", 0x0C00,
         "PMU:  KESTRIX_IMAGE_FILE_FORMAT_ERROR"},
        {"missing file", KESTRIX_PMU, true, "/nonexistent/ucode.bin", 0x0C00,
         "PMU:  KESTRIX_IMAGE_FILE_NOT_FOUND"},
        {"krdec fixed image", KESTRIX_KRDEC, false, "", 0x0610, "(no error)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        KestrixRig rig({}, c.deviceId, c.deviceId == 0x0610 ? 6 : 12);
        KestrixLoadRequest request = rig.Request(c.engineType);
        request.userImage = c.userImage;
        request.fileName = c.fileName;
        EXPECT_EQ(testkit::ErrorOf([&] { CreateKestrixLoader(request); }), c.error);
        if (c.error.starts_with("PMU:  "))
        {
            EXPECT_NE(rig.logText.str().find("ERROR: " + c.error + "\n"), std::string::npos);
        }
        if (c.error == missing)
        {
            EXPECT_NE(rig.logText.str().find("using \"pmu\", \"krdec\" or \"sec\" \n"),
                      std::string::npos);
        }
    }
}

// A loader of a microcode file built from `spec`, with `payload` (if any) as
// its PREP payload.
CRefPtr<CKestrixLoader> LoadFileImage(KestrixRig& rig, testkit::CScratchDirectory& folder,
                                      const KestrixImageSpec& spec,
                                      IKestrixPrepPayloadSource* payload = nullptr)
{
    KestrixLoadRequest request = rig.Request();
    request.userImage = true;
    request.fileName = folder.WriteBytes("ucode.bin", BuildKestrixImage(spec));
    request.payloadSource = payload;
    return CreateKestrixLoader(request);
}

const std::string kPrepFailed = "Kestrix PREP command failed.  kestrix uCode load failed.";

// The engine's DMEM is 64 KiB. Microcode whose map puts a buffer outside it,
// or names command buffers too small for the largest argument block (28
// bytes) and result (32 bytes), is refused by the engine as a real one would
// fault: the load fails at PREP, and no command ever runs.
TEST(KestrixLoader, MicrocodeWhoseBuffersLeaveDataMemoryIsRefusedByTheEngine)
{
    // The image data buffer starts at 0x1000.
    struct Case
    {
        const char* name;
        uint32_t cmdInOffset, cmdInSize, cmdOutOffset, cmdOutSize, dataBufferSize;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"as built", 0x100, 0x40, 0x140, 0x40, 0x2000, true},
        {"smallest command buffers", 0x100, 28, 0x140, 32, 0x2000, true},
        {"data buffer up to the end", 0x100, 0x40, 0x140, 0x40, 0xF000, true},
        {"command buffer of 27 bytes", 0x100, 27, 0x140, 0x40, 0x2000, false},
        {"result buffer of 31 bytes", 0x100, 0x40, 0x140, 31, 0x2000, false},
        {"command buffer past the end", 0xFFE0, 0x40, 0x140, 0x40, 0x2000, false},
        {"result buffer wrapping at 4 GiB", 0x100, 0x40, 0xFFFFFFF0, 0x20, 0x2000, false},
        {"data buffer one byte past the end", 0x100, 0x40, 0x140, 0x40, 0xF001, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        testkit::CScratchDirectory folder;
        KestrixRig rig;
        KestrixImageSpec spec;
        ASSERT_EQ(spec.dataBufferOffset, 0x1000u);
        spec.cmdInOffset = c.cmdInOffset;
        spec.cmdInSize = c.cmdInSize;
        spec.cmdOutOffset = c.cmdOutOffset;
        spec.cmdOutSize = c.cmdOutSize;
        spec.dataBufferSize = c.dataBufferSize;
        EXPECT_EQ(testkit::ErrorOf([&] { LoadFileImage(rig, folder, spec); }),
                  c.runs ? "(no error)" : kPrepFailed);
        EXPECT_EQ(rig.kestrix->Pmu().refusedDataMap, !c.runs);
        EXPECT_EQ(rig.kestrix->Pmu().running, c.runs);
        EXPECT_EQ(rig.kestrix->Commands().size(), c.runs ? 1u : 0u);
    }
}

// A map spoilt after the start (the console can write DMEM) is not used:
// commands fail for want of their buffers instead of reaching outside DMEM.
TEST(KestrixLoader, RunningMicrocodeDoesNotFollowAMapSpoiltAfterItsStart)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    const uint32_t printfField = loader->GetMapper()->offset + 0x20;
    rig.kestrix->WriteDmem(CSimKestrix::kPmuBase, printfField, {0xF0, 0xFF, 0x00, 0x00});
    EXPECT_EQ(loader->IdentifyEEPROM(), 2u); // CMD_DEPENDENCY
    EXPECT_EQ(rig.kestrix->Commands().back().error, 2u);
}

// PREP's payload (six bytes from CPayload) must fit the image data buffer; a
// larger one is an invalid parameter, and the load fails with the
// microcode's report.
TEST(KestrixLoader, PrepPayloadMustFitTheDataBuffer)
{
    for (const uint32_t bufferSize : {6u, 5u})
    {
        SCOPED_TRACE(bufferSize);
        testkit::CScratchDirectory folder;
        KestrixRig rig;
        CPayload payload;
        KestrixImageSpec spec;
        spec.dataBufferSize = bufferSize;
        const bool fits = bufferSize >= 6;
        EXPECT_EQ(testkit::ErrorOf([&] { LoadFileImage(rig, folder, spec, &payload); }),
                  fits ? "(no error)" : kPrepFailed);
        ASSERT_EQ(rig.kestrix->Commands().size(), 1u);
        EXPECT_EQ(rig.kestrix->Commands()[0].error, fits ? 0u : 8u);
        const std::vector<uint8_t> kept =
            fits ? std::vector<uint8_t>{1, 2, 3, 4, 5, 6} : std::vector<uint8_t>{};
        EXPECT_EQ(rig.kestrix->PrepPayload(), kept);
        if (!fits)
        {
            ASSERT_FALSE(rig.ui->messages.empty());
            EXPECT_NE(rig.ui->messages.back().find("KR_UCODE_ERR_CODE_CMD_UNSUPPORTED_PARAMETER"),
                      std::string::npos);
        }
    }
}

// The secure scratch dump moves 64 bytes through the image data buffer: with
// a smaller buffer the microcode refuses it and nothing is printed.
TEST(KestrixLoader, SecureScratchDumpNeedsASixtyFourByteDataBuffer)
{
    for (const uint32_t bufferSize : {64u, 63u})
    {
        SCOPED_TRACE(bufferSize);
        testkit::CScratchDirectory folder;
        SimKestrixConfig config;
        config.secureScratch.assign(64, 0);
        config.secureScratch[60] = 0x53; // the identifier, little-endian
        config.secureScratch[63] = 0x42;
        KestrixRig rig(config);
        KestrixImageSpec spec;
        spec.dataBufferSize = bufferSize;
        CRefPtr<CKestrixLoader> loader = LoadFileImage(rig, folder, spec);

        testing::internal::CaptureStdout();
        loader->GetLog(true);
        const std::string printed = testing::internal::GetCapturedStdout();

        EXPECT_EQ(rig.kestrix->Commands().back().id, KR_UCODE_CMD_COMMAND_BSI_INFO);
        if (bufferSize >= 64)
        {
            EXPECT_EQ(rig.kestrix->Commands().back().error, 0u);
            EXPECT_NE(printed.find("        identifier: 42000053\n"), std::string::npos);
        }
        else
        {
            EXPECT_EQ(rig.kestrix->Commands().back().error, 8u);
            EXPECT_EQ(printed, "");
        }
    }
}

TEST(KestrixLoader, AttachReadsBackTheRunningMicrocodesMapper)
{
    KestrixRig rig;
    rig.Load();
    const size_t commands = rig.kestrix->Commands().size();
    CRefPtr<CKestrixLoader> attached = rig.Load(KESTRIX_PMU_ATTACH);
    ASSERT_TRUE(attached->GetMapper().has_value());
    EXPECT_EQ(attached->GetMapper()->cmd_in_buffer_offset, 0x100u);
    EXPECT_EQ(rig.kestrix->Pmu().resets, 1u);
    EXPECT_EQ(attached->SendCommand(KR_UCODE_CMD_COMMAND_CLOSE), 0u);
    EXPECT_EQ(rig.kestrix->Commands().size(), commands + 1);
}

TEST(KestrixLoader, ClosesOnlyItsOwnRegistration)
{
    KestrixRig rig;
    constexpr uint32_t kClose = 11;
    const auto closes = [&]
    {
        size_t count = 0;
        for (const auto& command : rig.kestrix->Commands())
        {
            count += command.id == kClose;
        }
        return count;
    };
    CRefPtr<CKestrixLoader> registered = rig.Load();
    CRefPtr<CKestrixLoader> other = rig.Load();
    GetCrossPlatform()->SetFlashContext(CRefPtr<IReferenceCount>(registered.get()), nullptr,
                                        nullptr);
    // Another loader of the same engine is not the registered one.
    other->Close();
    other = nullptr;
    EXPECT_EQ(closes(), 0u);
    registered->Close();
    EXPECT_EQ(closes(), 1u);
    // Released by the operating-system layer last, when the display driver
    // of the adapter is restored: CLOSE again and the context is cleared.
    registered = nullptr;
    GetCrossPlatform()->SetActiveAdapter(CRefPtr<IAdapterContext>(rig.adapter.get()));
    GetCrossPlatform()->RestoreDisplayDriver(nullptr);
    EXPECT_EQ(closes(), 2u);
    EXPECT_EQ(GetCrossPlatform()->GetFlashLoader(), nullptr);
}
} // namespace

namespace
{
// The caller's detail flag reaches the loader's detail field and nothing
// else: no load report, no console, however much the caller's run shows.
TEST(KestrixLoader, TheDetailFlagOpensNoConsole)
{
    KestrixRig rig;
    KestrixLoadRequest request = rig.Request();
    request.detailed = true;
    CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);
    EXPECT_TRUE(loader->IsDetailed());
    EXPECT_TRUE(rig.ui->messages.empty());
}

TEST(KestrixLoader, VerboseLoadReportsTheImageAndItsMapper)
{
    KestrixRig rig;
    KestrixLoadRequest request = rig.Request();
    request.console = true;
    CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);
    ASSERT_FALSE(rig.ui->messages.empty());
    const std::string& report = rig.ui->messages.front();
    for (const char* line :
         {"1:Kestrix IMEM size = 0x00010000  DMEM Size = 0x00010000\n",
          "Image  IMEM size = 0x00000200  DMEM Size = 0x00000200\n\n",
          "Sec start = 0x00000100  Sec end = 0x00000200\n", "uCode Load Type: KESTRIX_PMU \n",
          "uCode load style:  Normal - signed uCode section\n", "  dmapper structure version: 3\n",
          "  uCode Build Date and Time: Mar 14 2026,  09:26:53\n",
          "  cmd_in_buffer_offset = 0x00000100\n", "  rmv_img_data_buffer_size = 0x00002000\n",
          "  MultiTgtTbl offset = 0x00000090\n"})
    {
        EXPECT_NE(report.find(line), std::string::npos) << line << "\nin\n" << report;
    }
}
} // namespace
