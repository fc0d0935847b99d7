// The system control: the reboot command, error texts, and the private
// state folder.

#include "platform/linux/LinuxServices.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

TEST(LinuxSystemControl, RebootRunsTheCommandAndReportsRefusal)
{
    CRefPtr<ISystemControl> accepted(new CLinuxSystemControl({"true"}));
    EXPECT_NO_THROW(accepted->Reboot());
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"false"}, std::vector<std::string>{"/nonexistent/reboot"},
          std::vector<std::string>{}})
    {
        CRefPtr<ISystemControl> refused(new CLinuxSystemControl(command));
        try
        {
            refused->Reboot();
            ADD_FAILURE() << "no exception";
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_STREQ(error.what(), "Unable to reboot system.");
        }
    }
}

TEST(LinuxSystemControl, ErrorTextsWow64AndWorkingDirectory)
{
    CRefPtr<ISystemControl> system(new CLinuxSystemControl({}));
    EXPECT_EQ(system->GetSystemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(system->GetSystemErrorText(0), "");
    EXPECT_EQ(system->GetSystemErrorText(99999), "");
    EXPECT_EQ(system->GetSystemErrorText(0xFFFFFFFF), "");
    EXPECT_EQ(system->IsWow64(), false); // a 64-bit build
    EXPECT_EQ(system->GetWorkingDirectory(), std::filesystem::current_path().string());
}

TEST(LinuxSystemControl, StateDirectoryIsMadePrivateWhenMissing)
{
    const testkit::CScratchDirectory scratch{"romvise-state"};
    const std::filesystem::path folder = scratch / "var" / "lib" / "romvise";
    CRefPtr<ISystemControl> system(new CLinuxSystemControl({}, folder));
    EXPECT_EQ(system->GetStateDirectory(), folder.string());
    struct stat info{};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(system->GetStateDirectory(), folder.string()) << "an existing folder is fine";

    scratch.WriteText("file", "not a folder");
    CRefPtr<ISystemControl> blocked(new CLinuxSystemControl({}, scratch / "file" / "romvise"));
    EXPECT_EQ(testkit::ErrorOf([&] { blocked->GetStateDirectory(); }),
              "Cannot create the folder " + (scratch / "file" / "romvise").string() +
                  ": Not a directory");
}

// An existing state folder others could have put files into is refused by
// name.
TEST(LinuxSystemControl, StateDirectoryOthersCanReachIsRefused)
{
    struct Case
    {
        const char* reason;
        void (*make)(const std::filesystem::path& folder, const std::filesystem::path& elsewhere);
    };
    const Case cases[] = {
        {"it is a link",
         [](const std::filesystem::path& folder, const std::filesystem::path& elsewhere)
         {
             std::filesystem::create_directory(elsewhere);
             std::filesystem::create_directory_symlink(elsewhere, folder);
         }},
        {"other users can write to it",
         [](const std::filesystem::path& folder, const std::filesystem::path&)
         {
             std::filesystem::create_directory(folder);
             ::chmod(folder.c_str(), 0770);
         }},
        {"other users can write to it",
         [](const std::filesystem::path& folder, const std::filesystem::path&)
         {
             std::filesystem::create_directory(folder);
             ::chmod(folder.c_str(), 0703);
         }},
        {"it is not a folder",
         [](const std::filesystem::path& folder, const std::filesystem::path&)
         { std::ofstream(folder) << "a file"; }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.reason);
        const testkit::CScratchDirectory scratch{"romvise-state"};
        const std::filesystem::path folder = scratch / "romvise";
        c.make(folder, scratch / "elsewhere");
        CRefPtr<ISystemControl> system(new CLinuxSystemControl({}, folder));
        EXPECT_EQ(testkit::ErrorOf([&] { system->GetStateDirectory(); }),
                  "The state folder " + folder.string() + " cannot hold update records: " +
                      c.reason + ".");
    }
}
