// The confirmations the Varnex commands share before they write: a declined
// question gives the display back before the abort is reported.

#include "VarnexRig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

// A question declined before a write gives the display back before the run
// reports the abort: in the log the restore comes ahead of the error.
TEST(VarnexWriteCommands, ADeclinedWriteGivesTheDisplayBackBeforeTheAbortIsReported)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--backupvarnex"}, "ERROR: Aborted!"},
        {{"--wrbbo", "id=3.1", "value=5"}, "ERROR: Aborted!"},
        {{"--clecc"}, "ERROR: User aborted!"},
    };
    for (const auto& [arguments, error] : cases)
    {
        SCOPED_TRACE(arguments.front());
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        const std::filesystem::path logFile = rig.folder / "run.log";
        std::vector<std::string> words = arguments;
        words.push_back("--log=" + logFile.string());
        EXPECT_EQ(rig.Run(words, "n"), 2) << rig.out << rig.err;
        std::ifstream file(logFile);
        const std::string log{std::istreambuf_iterator<char>(file), {}};
        const size_t restored = log.find("Restore the KR driver state automatically");
        ASSERT_NE(restored, std::string::npos) << log;
        EXPECT_LT(restored, log.find(error)) << log;
    }
}
