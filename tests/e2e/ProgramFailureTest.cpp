// Failures outside the run's own: a machine file the simulator cannot load,
// and memory running out. Each ends the process with "ERROR: " and exit code
// 2, never with an abort, and leaves the adapter's chip as it was.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

namespace
{
std::string ReadText(const CProgramFolder& folder, const std::string& name)
{
    const std::vector<uint8_t> bytes = folder.ReadFile(name);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const CProgramFolder& folder, const std::string& name, const std::string& text)
{
    folder.WriteFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// The machine file with its one `from` replaced by `to`.
void ReplaceInMachine(const CProgramFolder& folder, const std::string& from, const std::string& to)
{
    std::string text = ReadText(folder, "machine.json");
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " not in\n" << text;
    text.replace(at, from.size(), to);
    WriteText(folder, "machine.json", text);
}
} // namespace

TEST(ProgramFailure, MachineFileMistakeEndsWithTheLoadersMessage)
{
    struct Case
    {
        const char* name;
        std::function<void(CProgramFolder&)> spoil;
        std::string err;
        // The parser's own wording after this is its library's.
        bool errIsPrefix = false;
    };
    const std::string prefix = "\nERROR: Machine file machine.json: ";
    const std::vector<Case> cases = {
        {"missing file",
         [](CProgramFolder& f) { std::filesystem::remove(f.PathOf("machine.json")); },
         "\nERROR: Machine file machine.json: cannot be opened\n"},
        {"JSON typo", [](CProgramFolder& f) { WriteText(f, "machine.json", "{\"pci\": [}\n"); },
         prefix + "[json.exception.parse_error.101] parse error at line 1, column 10", true},
        {"unknown kind",
         [](CProgramFolder& f)
         { ReplaceInMachine(f, "\"kind\": \"gpu\"", "\"kind\": \"toaster\""); },
         prefix + "unknown device model kind \"toaster\"\n"},
        {"bad PCI address",
         [](CProgramFolder& f) { ReplaceInMachine(f, "\"01:00.0\"", "\"01:00.9\""); },
         prefix + "bad PCI address \"01:00.9\"\n"},
        {"unknown part",
         [](CProgramFolder& f) { ReplaceInMachine(f, "\"EF/3013\"", "\"EF/9999\""); },
         prefix + "\"part\" is not a built-in part: \"EF/9999\"\n"},
        {"chip smaller than its contents",
         [](CProgramFolder& f) { f.WriteFile("chip0.bin", std::vector<uint8_t>(0x100000, 0xFF)); },
         prefix + "Chip contents chip0.bin are larger than the chip (1048576 > 524288 bytes)\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
        c.spoil(folder);
        const std::vector<uint8_t> chipBefore = folder.Chip(0);

        const ProgramResult run = folder.Updater("", "yy");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
        if (c.errIsPrefix)
        {
            EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        }
        else
        {
            EXPECT_EQ(run.err, c.err);
        }
        EXPECT_EQ(folder.Chip(0), chipBefore);
    }
}

// Below some limit the program never gets to run its own code: the loader
// cannot map a library or set up the first thread's TLS, or the C++
// runtime's own start-up (the standard streams, before main) runs out and
// cannot even allocate the exception that would report it, so it terminates
// before anything is printed.
namespace
{
bool NeverReachedMain(const ProgramResult& run)
{
    // The dynamic loader gives up before main: on a library, or on the
    // thread-local storage of the first thread.
    const bool loaderFailed =
        run.exitCode == 127 && (Contains(run.err, "error while loading shared libraries") ||
                                Contains(run.err, "cannot allocate TLS data structures"));
    const bool runtimeStartFailed =
        run.exitCode == 128 + SIGABRT && run.out.empty() &&
        run.err.rfind("terminate called without an active exception\n", 0) == 0;
    return loaderFailed || runtimeStartFailed;
}
} // namespace

// Under a tightening address-space limit each program fails at some
// allocation or other; whichever it is, the process ends with the error line
// and exit code 2 instead of an abort.
TEST(ProgramFailure, MemoryRunningOutEndsWithAnErrorNotAnAbort)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit leaves";
#endif
#endif
    struct Case
    {
        const char* name;
        // The command the limit applies to, run in the folder.
        std::string command;
        const char* keys;
    };
    const std::vector<Case> cases = {
        {"romuvise", "./romuvise", "y"},
        {"romstamp", std::string(ROMSTAMP_PATH) + " stamped package.rom", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
        int ranOutInsideTheProgram = 0;
        bool finished = false;
        // From too little to load the program up to enough to finish.
        for (int megabytes = 8; megabytes <= 512 && !finished; megabytes += 2)
        {
            SCOPED_TRACE(std::to_string(megabytes) + " MiB");
            std::filesystem::copy_file(folder.PathOf("romuvise"), folder.PathOf("stamped"),
                                       std::filesystem::copy_options::overwrite_existing);
            const ProgramResult run =
                folder.Run("sh -c 'ulimit -v " + std::to_string(megabytes * 1024) + "; exec " +
                               c.command + "'",
                           c.keys);
            if (NeverReachedMain(run))
            {
                continue;
            }
            finished = run.exitCode == 0;
            if (!finished)
            {
                EXPECT_EQ(run.exitCode, 2) << run.err;
                EXPECT_TRUE(Contains(run.err, "\nERROR: ")) << run.err;
                ranOutInsideTheProgram += Contains(run.err, "\nERROR: std::bad_alloc\n") ? 1 : 0;
            }
        }
        EXPECT_TRUE(finished);
        EXPECT_GT(ranOutInsideTheProgram, 0);
    }
}
