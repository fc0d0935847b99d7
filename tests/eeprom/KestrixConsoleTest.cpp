// The microcontroller's debug console, driven by typed sessions: the line
// editor and its history, the tokens and numbers, help and dispatch, and each
// command with a good and a bad argument against the simulated engine.

#include "KestrixRig.h"

#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/machine/TypedConsole.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace
{
const std::string kUp = "\x1b[A";

struct ConsoleRig
{
    ConsoleRig() : loader(rig.Load()), console(InstallTypedConsole())
    {
        loader->SetConsoleOutput(output);
    }

    // What the console printed for the typed text, from the first prompt on.
    std::string Session(const std::string& typed)
    {
        output.str("");
        for (const char c : typed)
        {
            console->keys.push_back(static_cast<unsigned char>(c));
        }
        EXPECT_EQ(loader->RunConsole(), 0u);
        const std::string text = output.str();
        return text.substr(text.find("vez? "));
    }

    KestrixRig rig;
    CRefPtr<CKestrixLoader> loader;
    CRefPtr<CTypedConsole> console;
    std::ostringstream output;
};

std::string Unavailable(const std::string& word)
{
    return " " + word + " - Unavailable command. Type \"help\" for supported commands.\n";
}

TEST(KestrixConsoleNumbers, TextsGiveTheirValues)
{
    const std::pair<const char*, uint32_t> cases[] = {{"0x1F", 31},
                                                      {"010", 8},
                                                      {"12ab", 12},
                                                      {"-1", 0xFFFFFFFF},
                                                      {"0x", 0},
                                                      {"08", 0},
                                                      {"4294967296", 0xFFFFFFFF},
                                                      {"  +0XfF", 255},
                                                      {"zz", 0},
                                                      {"0xFFFFFFFF", 0xFFFFFFFF}};
    for (const auto& [text, value] : cases)
    {
        EXPECT_EQ(CKestrixLoader::ParseNumber(text), value) << text;
    }
    EXPECT_EQ(CKestrixLoader::ParseDigits("zZ1", 36), 35u * 36 * 36 + 35 * 36 + 1);
}

TEST(KestrixConsoleTokens, LinesSplitIntoAtMostTwentyCutTokens)
{
    ConsoleRig console;
    CKestrixLoader& loader = *console.loader;
    loader.SplitLine("  dmem \"two words\" \"open end");
    EXPECT_EQ(loader.ConsoleTokens(),
              (std::vector<std::string>{"dmem", "\"two words\"", "\"open end\""}));
    std::string many;
    for (int i = 0; i < 21; ++i)
    {
        many += 'w';
        many += std::to_string(i);
        many += ' ';
    }
    loader.SplitLine(many);
    ASSERT_EQ(loader.ConsoleTokens().size(), 20u);
    EXPECT_EQ(loader.ConsoleTokens().back(), "w19");
    loader.SplitLine(std::string(60, 'x') + " y");
    EXPECT_EQ(loader.ConsoleTokens(), (std::vector<std::string>{std::string(49, 'x'), "y"}));
}

TEST(KestrixConsoleShell, TypedLinesAreEditedRecalledAndDispatched)
{
    struct Case
    {
        const char* name;
        std::string typed;
        std::string shown;
        size_t times;
    };
    const std::vector<Case> cases = {
        {"backspace then tab brings the text back", "abc\b\b\t\n", Unavailable("abc"), 1},
        {"delete and left arrow take characters", "abcd\x7f\x1b[D\n", Unavailable("ab"), 1},
        {"0x04 erases the line", "abc\x04xyz\n", Unavailable("xyz"), 1},
        {"ESC 0x04 erases, then waits for the key", "abc\x1b\x04Zq\n", Unavailable("q"), 1},
        {"0x17 erases the word before the cursor", "foo bar  \x17\n", Unavailable("foo"), 1},
        {"up twice recalls the first of two lines", "foo\nbar\n" + kUp + kUp + "\n",
         Unavailable("foo"), 2},
        {"up at the start recalls an empty line", kUp + "\nzz\n", "vez? vez? ", 1},
        {"down from the start recalls line 1", "a1\nb2\n" + kUp + kUp + kUp + "\x1b[B\x1b[B\n",
         Unavailable("b2"), 2},
        {"command words are case sensitive", "Dmem\n", Unavailable("Dmem"), 1},
        {"exit ends the session", "exit\nfoo\n", Unavailable("foo"), 0},
        {"quit ends the session", "quit\nfoo\n", Unavailable("foo"), 0},
        {"help lists the commands", "help\n", " cmd                 imem", 1},
        {"help with two words lists them too", "help rd wr\n", "***** Available commands", 1},
        {"help of imem is the dmem help", "help imem\n", "\ndmem is a command to dump DMEM \n", 1},
        {"help of an unknown word", "help foo\n", " [foo] is invalid Command or Script.\n", 1},
        {"a long word is cut to 49 characters", std::string(60, 'q') + "\n",
         Unavailable(std::string(49, 'q')), 1},
        {"a line keeps 255 characters", std::string(249, ' ') + "rd 0x100 1\n",
         " Register @ 00000001 = ", 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ConsoleRig console;
        const std::string text = console.Session(c.typed);
        EXPECT_EQ(CountOf(text, c.shown), c.times)
            << text.substr(text.size() > 200 ? text.size() - 200 : 0);
    }
}

TEST(KestrixConsoleShell, BannerAndFramedMessageComeFirst)
{
    ConsoleRig console;
    console.console->keys = {'e', 'x', 'i', 't', '\n'};
    EXPECT_EQ(console.loader->RunConsoleWithMessage("Hello"), 0u);
    const std::string text = console.output.str();
    EXPECT_EQ(text.rfind("+++++++++++++++++++++++++++\nHello\n+++++++++++++++++++++++++++\n\n"
                         "*****************************************************************\n"
                         "*  Hey,  What's up?",
                         0),
              0u);
}

TEST(KestrixConsoleShell, AVerboseLoadEntersTheConsoleAfterPreparation)
{
    KestrixRig rig;
    CRefPtr<CTypedConsole> console = InstallTypedConsole();
    for (const char c : std::string("dmap\nexit\n"))
    {
        console->keys.push_back(c);
    }
    KestrixLoadRequest request = rig.Request();
    request.console = true;
    testing::internal::CaptureStdout();
    CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("+++++++++++++++++++++++++++\nEnter console mode after preparation.\n"),
              std::string::npos);
    EXPECT_NE(text.find("vez? DMEM Mapper offset = 0x"), std::string::npos);
    EXPECT_TRUE(console->keys.empty());
    EXPECT_EQ(rig.kestrix->Commands().back().id, KR_UCODE_CMD_COMMAND_PREP);
}

TEST(KestrixConsoleCommands, RawCommandsNeedTheirPrerequisitesAndArguments)
{
    ConsoleRig console;
    const uint32_t writes = console.rig.kestrix->MailboxWrites();
    std::string text = console.Session("cmd\ncmd 9\ncmd 4 0 16\n");
    EXPECT_NE(text.find("\n Command_ID 0 is not valid to send \n"), std::string::npos);
    EXPECT_NE(text.find("\n Command_ID 9 is not supported \n"), std::string::npos);
    EXPECT_NE(text.find("Before running KR_UCODE_CMD_COMMAND_ERD (id = 4) command,\n"
                        "Please run KR_UCODE_CMD_COMMAND_ESI (id = 3 ) first. \n"),
              std::string::npos);
    EXPECT_EQ(console.rig.kestrix->MailboxWrites(), writes);

    text = console.Session("cmd 2\ncmd 3\ncmd 12\ncmd 6 128\ncmd 6 1\ncmd 13 0\n");
    EXPECT_NE(text.find("devID=2013, mfgID=c2 \n\ncommand KR_UCODE_CMD_COMMAND_EID completed\n"),
              std::string::npos);
    EXPECT_NE(text.find("PEEPROM_RECORD Struct:\n mfgID=c2 \n devID=2013 \n"), std::string::npos);
    EXPECT_NE(text.find("\n Flash size = 512k, Sector size = 4k, Total sectors = 128 \n"),
              std::string::npos);
    EXPECT_NE(text.find("command KR_UCODE_CMD_COMMAND_ESI completed"), std::string::npos);
    EXPECT_NE(text.find("Usage: cmd command_id"), std::string::npos) << "cmd 12 without a state";
    EXPECT_NE(text.find("status[0] = 00\n"), std::string::npos);
    // Sector 128 is past the chip: only sector 1 was erased.
    EXPECT_EQ(console.rig.chip->Erases(), (std::vector<SimFlashOperation>{{0x1000, 0x1000}}));
}

TEST(KestrixConsoleCommands, RawReadAndProgramMoveTheImageDataBuffer)
{
    ConsoleRig console;
    testkit::CScratchDirectory folder;
    const std::string file =
        folder.WriteBytes("part.bin", std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A});
    std::string text = console.Session("cmd 2\ncmd 3\ncmd 5 0x100 " + file + "\ncmd 4 0x100 8\n" +
                                       "cmd 5 0 " + folder.Path().string() + "/none.bin\n");
    EXPECT_NE(text.find(" startAddress = 100, bytes = 8\n"), std::string::npos);
    EXPECT_EQ(console.rig.contents->Read(0x100, 8),
              (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xFF, 0xFF, 0xFF}));
    EXPECT_NE(text.find("\n    12 34 56 78 9a ff ff ff \ncommand KR_UCODE_CMD_COMMAND_ERD"),
              std::string::npos);
    EXPECT_NE(text.find("file " + folder.Path().string() + "/none.bin don't exist"),
              std::string::npos);
}

// A file that cannot be read whole sends nothing: the console neither waits
// for a FIFO's writer nor reads /dev/zero until memory runs out.
TEST(KestrixConsoleCommands, RawProgramRefusesAFileThatCannotBeReadWhole)
{
    ConsoleRig console;
    testkit::CScratchDirectory folder;
    const std::string fifo = (folder / "fifo.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero = (folder / "zero.bin").string();
    std::filesystem::create_symlink("/dev/zero", zero);
    const std::string text =
        console.Session("cmd 2\ncmd 3\ncmd 5 0 " + fifo + "\ncmd 5 0 " + zero + "\n");
    EXPECT_NE(text.find("file " + fifo + " don't exist"), std::string::npos);
    EXPECT_NE(text.find("file " + zero + " don't exist"), std::string::npos);
    EXPECT_EQ(text.find("startAddress"), std::string::npos);
}

TEST(KestrixConsoleCommands, MemoryDumpsAndWritesStayInsideTheEngine)
{
    ConsoleRig console;
    const uint32_t pmu = CSimKestrix::kPmuBase;
    console.rig.kestrix->WriteDmem(pmu, 0x100, {1, 0, 0, 0, 2, 0, 0, 0});
    std::string text = console.Session("dmem 0x102 2\ndmem 0xFFF8 2\ndmem 0xFFFC 2\n");
    EXPECT_NE(text.find("DMEM start address: =0x100, length(in DWORD)=2 \n"
                        "  Offset:     0         4         8         C \nAddress:\n"
                        "\n0x0100 :   00000001  00000002  \n"),
              std::string::npos);
    EXPECT_NE(text.find("DMEM start address: =0xfff8"), std::string::npos);
    EXPECT_NE(text.find("Error: requested DMEM access area out of range. addr=fffc, size=8, "
                        "Kestrix DMEM size=10000\n"),
              std::string::npos);

    text = console.Session("dmemwr 0x200 0x11 0x22\ndmemwr 0xFFFC 5 6\ndmemwr 0x10\nimem 0 1\n");
    EXPECT_EQ(console.rig.kestrix->ReadDmem(pmu, 0x200, 8),
              (std::vector<uint8_t>{0x11, 0, 0, 0, 0x22, 0, 0, 0}));
    EXPECT_NE(text.find("Error: dmemwr: requested DMEM access area out of range. addr=fffc, "
                        "size=8, Kestrix DMEM size=10000\n"),
              std::string::npos);
    EXPECT_EQ(console.rig.kestrix->ReadDmem(pmu, 0xFFFC, 4), (std::vector<uint8_t>(4, 0)));
    EXPECT_NE(text.find("Error: dmemwr: DATA write to DMEM or DMEM ADDR missing"),
              std::string::npos);
    EXPECT_NE(text.find("IMEM start address: =0x0, length(in DWORD)=1 \n"), std::string::npos);

    text = console.Session("dmap\n");
    EXPECT_NE(text.find("DMEM Mapper Version = "), std::string::npos);
    EXPECT_NE(text.find("cmd_in_buffer_offset = 0x"), std::string::npos);
}

TEST(KestrixConsoleCommands, RegistersAreReadAndWrittenDirectlyOrRefused)
{
    ConsoleRig console;
    console.rig.gpu->SetRegister(0x110, 0xCAFE);
    std::string text = console.Session("rd 0x100 3\nrd\nwr 0x200 5\nwr 1\npwr 1\ni2c 1 2 3\n");
    EXPECT_NE(text.find(" Register @ 00000108 = "), std::string::npos);
    EXPECT_NE(text.find(" Register @ 00000110 = 0000cafe \n"), std::string::npos)
        << "the second rd continues behind the first";
    EXPECT_NE(text.find(" Register @ 00000200 <-- 00000005 \n"), std::string::npos);
    EXPECT_EQ(CountOf(text, "command invalid:\n"), 3u);
    EXPECT_NE(text.find("\nwr is a command to write to priv register \n"), std::string::npos);
    EXPECT_NE(text.find("\npwr is a command"), std::string::npos);
    EXPECT_NE(text.find("Usage: i2c <i2c port>"), std::string::npos);
}

TEST(KestrixConsoleCommands, MicrocodeReadsAndWritesRegistersWithinItsResultBuffer)
{
    ConsoleRig console;
    console.rig.gpu->SetRegister(0x114, 0xBEEF);
    std::string text = console.Session("prd 0x110 2\npwr 0x300 7\n");
    EXPECT_NE(text.find(" Register @ 00000114 = 0000beef (pmu)\n"), std::string::npos);
    EXPECT_NE(text.find(" Register @ 00000300 <-- 00000007 (pmu)\n"), std::string::npos);
    EXPECT_EQ(console.rig.gpu->Register(0x300), 7u);

    // A count past the microcode's result buffer reads only what it holds.
    text = console.Session("prd 0x100 1000\n");
    EXPECT_EQ(CountOf(text, "(pmu)"), console.loader->GetMapper()->cmd_out_buffer_size / 4);
}

TEST(KestrixConsoleCommands, DebuggerAndVerificationArgumentsAreChecked)
{
    ConsoleRig console;
    std::string text = console.Session("icd regs pc\nicd\nicd step\nicd regs foo\nvv\n");
    char pc[32];
    std::snprintf(pc, sizeof pc, "PC = 0x%08x\n", console.rig.kestrix->Pmu().bootVector);
    EXPECT_NE(text.find(pc), std::string::npos);
    EXPECT_EQ(CountOf(text, " = 0x"), 1u) << "only the program counter";
    EXPECT_NE(text.find("Error: icd: ICD command parameter missing."), std::string::npos);
    EXPECT_NE(text.find("Error: icd: ICD command - `step` not supported."), std::string::npos);
    EXPECT_NE(text.find("Error: icd: ICD regs command parameter - `foo` not supported."),
              std::string::npos);
    EXPECT_NE(text.find("\nvv send vv command to Kestrix to verify VBIOS \n"), std::string::npos);
    // A GPU image signed under the root the machine trusts, whose devinit
    // tables the verification can find.
    using testkit::CGpuImageBuilder;
    using testkit::Words;
    testkit::SignedImageSpec spec;
    spec.describeBody = [](CGpuImageBuilder& builder)
    {
        builder.Bit();
        const uint32_t scripts = builder.Place(Words({0x0600, 0x0700, 0, 0, 0x0102}));
        const uint32_t tables = builder.Place({0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0});
        builder.Token('I', 0,
                      Words({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint16_t>(scripts), 0,
                             static_cast<uint16_t>(tables), 0}));
    };
    console.rig.scope.Machine().SetTrustedRoot(
        {testkit::TestRootContainer(), testkit::TestRootPassPhrase()});
    testkit::CScratchDirectory folder;
    const std::string file = folder.WriteBytes("signed.rom", testkit::BuildSignedImage(spec).bytes);
    text = console.Session("vv " + file + "\nvv " + file + " extra\n");
    EXPECT_NE(text.find("vv command completed successfully\n"), std::string::npos);
    EXPECT_EQ(console.rig.kestrix->Commands().back().id, KR_UCODE_CMD_COMMAND_VV);
    EXPECT_EQ(CountOf(text, "Usage: vv [vbios image file name]"), 1u);

    // A file that cannot be loaded leaves the console with its error.
    for (const char c : std::string("vv /nonexistent/image.rom\n"))
    {
        console.console->keys.push_back(c);
    }
    EXPECT_NE(testkit::ErrorOf([&] { console.loader->RunConsole(); }), "(no error)");
}
} // namespace
