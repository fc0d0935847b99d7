// The mailbox handshake on the virtual clock, the failure reports and the
// microcode's printf log.

#include "KestrixRig.h"

#include <gtest/gtest.h>

namespace
{
constexpr uint32_t kMailbox0 = 0x10A040;
constexpr uint32_t kClose = KR_UCODE_CMD_COMMAND_CLOSE;

size_t MailboxReads(CSimGpu& gpu)
{
    size_t reads = 0;
    for (const CSimGpu::Access& access : gpu.Accesses())
    {
        reads += !access.write && access.offset == kMailbox0;
    }
    return reads;
}

TEST(KestrixMailbox, WaitsTwoHundredMicrosecondsAPoll)
{
    struct Case
    {
        uint32_t pendingPolls;
        bool neverCompletes;
        uint32_t result;
        size_t reads;
    };
    const std::vector<Case> cases = {
        {0, false, 0, 1},
        {1, false, 0, 2},
        {7, false, 0, 8},
        {0, true, 1, 49999},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pendingPolls);
        KestrixRig rig;
        CRefPtr<CKestrixLoader> loader = rig.Load();
        rig.kestrix->Config().pendingPolls = c.pendingPolls;
        if (c.neverCompletes)
        {
            rig.kestrix->Config().neverComplete = {kClose};
        }
        rig.gpu->RecordAccesses(true);
        const uint64_t start = rig.NowMicroseconds();
        EXPECT_EQ(loader->SendCommand(kClose), c.result);
        const uint64_t elapsed = rig.NowMicroseconds() - start;
        EXPECT_EQ(MailboxReads(*rig.gpu), c.reads);
        EXPECT_EQ(elapsed / 200, c.reads) << elapsed;
        EXPECT_EQ(rig.gpu->Register(0x022408) & 2u, 2u);
    }
}

TEST(KestrixMailbox, NothingIsSentAfterATimeoutUntilTheEngineIsReset)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    rig.kestrix->Config().neverComplete = {kClose};
    EXPECT_EQ(loader->SendCommand(kClose), 1u);
    EXPECT_EQ(rig.ui->messages.back(), "1: Command failed to complete mailbox0 = 2000000B");
    const uint32_t writes = rig.kestrix->MailboxWrites();

    EXPECT_EQ(loader->SendCommand(KR_UCODE_CMD_COMMAND_EID), 1u);
    EXPECT_EQ(rig.kestrix->MailboxWrites(), writes);

    loader->ResetEngine(*rig.adapter);
    rig.kestrix->Config().neverComplete.clear();
    loader->SendCommand(kClose);
    EXPECT_EQ(rig.kestrix->MailboxWrites(), writes + 1);
}

TEST(KestrixMailbox, ErrorWordIsTheResult)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    rig.kestrix->Config().errorCodes[kClose] = 0x5A;
    EXPECT_EQ(loader->SendCommand(kClose), 0x5Au);
    EXPECT_EQ(rig.ui->messages.back(), "1: Command complete with error, Error code = 005A");
}

TEST(KestrixMailbox, FailureReportTexts)
{
    struct Case
    {
        uint32_t commandWord;
        uint32_t errorCode;
        std::string report;
    };
    const std::vector<Case> cases = {
        {2, 3,
         "Command id:0002 Command: KR_UCODE_CMD_COMMAND_EID failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000003\n"
         "Error: KR_UCODE_ERR_CODE_CMD_EID_RD_ERROR \n"
         "  EEPROM ID process failed. "},
        {0, 0,
         "Command id:0000 Command:  KR_UCODE_CMD_COMMAND_NONE - Infomation Only \n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000000\n"
         "No Error "},
        {0x3000000E, 72,
         "Command id:3000000E Command: KR_UCODE_CMD_COMMAND_VV failed\n"
         "Command Status:KR_UCODE_CMD_STS_COMPLETE  Error Code: 00000048\n"
         "Error: KR_UCODE_ERR_CODE_GPU_INITIALIZATION_SCRIPTS_SIG_CHECK_FAILED \n"},
        {5, 7,
         "Command id:0005 Command: KR_UCODE_CMD_COMMAND_EWR failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000007\n"
         "Error: KR_UCODE_ERR_CODE_CMD_UNSUPPORTED_COMMAND \n"
         "  This is not a valid uCode command.\n"
         "Could be this command is not installed in uCode "},
        {1, 73,
         "Command id:0001 Command: Unknown Command failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000049\n"
         "Unknown Error  \n"},
        {25, 100,
         "Command id:0019 Command: Unknown Command failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 00000064\n"
         "Unknown Error  \n"},
        {0x5000000F, 1,
         "Command id:5000000F Command: KR_UCODE_CMD_COMMAND_ECID failed\n"
         "Command Status:Unknown Command Status  Error Code: 00000001\n"
         "Error: KR_UCODE_ERR_CODE_CMD_TIMEOUT "},
        {17, 43,
         "Command id:0011 Command: KR_UCODE_CMD_COMMAND_BSI_INFO failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 0000002B\n"
         "KR_UCODE_ERR_CODE_DERIVED_KEY_TYPE_INVALID \n"},
        {4, 46,
         "Command id:0004 Command: KR_UCODE_CMD_COMMAND_ERD failed\n"
         "Command Status:KR_UCODE_CMD_STS_NONE  Error Code: 0000002E\n"
         "Error: KR_UCODE_ERR_CODE_VBIOS_DEVINIT_SIG_INVALID \n"},
    };
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    for (const Case& c : cases)
    {
        loader->DecodeErrorCode(c.commandWord, c.errorCode);
        EXPECT_EQ(rig.ui->messages.back(), "1:" + c.report);
    }
}

struct PrintfCase
{
    const char* name;
    std::string text;
    uint32_t error;
    std::string shown;
};

TEST(KestrixMailbox, DumpsThePrintfLogWhenTheErrorWordAsksForIt)
{
    // The ring holds 0x80 bytes: 0x90 bytes wrap it and leave the write
    // offset at 0x10, so the log is the last 0x80 bytes in order.
    std::string wrapped;
    for (int i = 0; i < 0x90; ++i)
    {
        wrapped.push_back(static_cast<char>('A' + i % 26));
    }
    const std::vector<PrintfCase> cases = {
        {"plain", "ready\n", 0, "ready\n"},
        {"wrapped", wrapped, 0, wrapped.substr(0x10)},
        {"with an error", "bad block", 5, "bad block"},
    };
    for (const PrintfCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        KestrixRig rig;
        CRefPtr<CKestrixLoader> loader = rig.Load();
        rig.kestrix->QueuePrintf(c.text);
        if (c.error != 0)
        {
            rig.kestrix->Config().errorCodes[kClose] = c.error;
        }
        EXPECT_EQ(loader->SendCommand(kClose), c.error);
        EXPECT_EQ(rig.ui->messages.back(), "1:**** uCode printf log: ****\n" + c.shown +
                                               "\n **** uCode printf log End ****\n");
        EXPECT_EQ(rig.kestrix->Pmu().mailbox1, c.error);
        // The header starts over: a second dump shows nothing.
        const size_t shown = rig.ui->messages.size();
        loader->GetLog();
        EXPECT_EQ(rig.ui->messages.size(), shown);
    }
}

TEST(KestrixMailbox, PrintfRingOutsideDataMemoryIsNotRead)
{
    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader = rig.Load();
    // Header at 0xA0: write offset, ring offset, ring size, flags.
    rig.kestrix->WriteDmem(CSimKestrix::kPmuBase, 0xA0,
                           {0x10, 0, 0, 0, 0xF0, 0xFF, 0x00, 0x00, 0x00, 0x01, 0, 0, 2, 0, 0, 0});
    loader->GetLog();
    EXPECT_EQ(rig.ui->messages.back(), "1: uCode printf header is out of range");
}
} // namespace
