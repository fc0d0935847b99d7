// The Varnex commands that move a store between an adapter and files (save
// to a .vnx name, savefs, rdobj, createfs), beside the board-data commands
// that read the store into files: what each writes, what it says, its
// status, and that the chip is never written.

#include "VarnexRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace
{
const std::vector<uint8_t> kOemBody = StoreFacts{}.oem;
} // namespace

TEST(VarnexReadCommands, EachWritesItsObjectAndLeavesTheChipAlone)
{
    struct Case
    {
        std::vector<std::string> arguments; // "@" stands for the scratch folder
        int exit;
        std::string shown;
        std::string file;     // in the scratch folder; empty: none checked
        std::string contents; // the whole file, or empty to check it exists
    };
    const std::vector<Case> cases = {
        {{"--rdbbo=@/b.txt"},
         0,
         "BBO data saved successfully!",
         "b.txt",
         "ID: 7\nRevision: 2\nValue: 48879\n"},
        {{"--rdbbo=/dev/full"}, 3, "Unable to save BBO Data to file!", "", ""},
        {{"--rdoem=@/oem.bin"},
         0,
         "OEM Configuration Data saved successfully!",
         "oem.bin",
         std::string(kOemBody.begin(), kOemBody.end())},
        {{"--rdobj=obd,@/obd.bin"}, 0, "OBD data saved successfully.", "obd.bin", ""},
        {{"--rdobj=abcd,@/x.bin"}, 5, "Read failed: Varnex does not have ABCD Object.", "", ""},
        {{"--rdobj=obd"}, 5, "Object file is missing.", "", ""},
        {{"--rdobj"}, 5, "Object name is missing.", "", ""},
        {{"--savefs=@/s.fs"}, 0, "File system image dumped successfully!", "s.fs", ""},
        {{"--save=@/s.vnx"}, 0, "Configuration Data saved successfully!", "s.vnx", ""},
        {{"--save=@/missing/s.vnx"},
         3,
         "Configuration Data cannot be saved successfully!",
         "",
         ""},
        {{"--rdobd=@/o.csv,CSV"}, 0, "OBD Configuration Data saved successfully", "o.csv", ""},
        {{"--rdobd=@/missing/o.txt"},
         3,
         "OBD Configuration Data cannot be saved successfully.",
         "",
         ""},
    };
    for (const Case& c : cases)
    {
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        std::vector<std::string> arguments;
        for (std::string argument : c.arguments)
        {
            if (const size_t at = argument.find('@'); at != std::string::npos)
            {
                argument.replace(at, 1, rig.folder.Path().string());
            }
            arguments.push_back(argument);
        }
        SCOPED_TRACE(arguments.front());
        EXPECT_EQ(rig.Run(arguments), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        if (!c.file.empty())
        {
            ASSERT_TRUE(std::filesystem::exists(rig.folder / c.file));
            if (!c.contents.empty())
            {
                EXPECT_EQ(FileText(rig.folder / c.file), c.contents);
            }
        }
        EXPECT_TRUE(ChipOf(rig).Erases().empty());
        EXPECT_TRUE(ChipOf(rig).Programs().empty());
    }
}

TEST(VarnexReadCommands, FilesHoldTheStoreInItsOwnForms)
{
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
    const std::string folder = rig.folder.Path().string();

    ASSERT_EQ(rig.Run({"--rdobj=obd," + folder + "/obd.bin"}), 0) << rig.err;
    EXPECT_EQ(FileBytes(rig.folder / "obd.bin"), ObjectsOf(PrimaryStore()).at("OBD"));

    // save with a .vnx name: the store itself, in raw form.
    ASSERT_EQ(rig.Run({"--save=" + folder + "/s.vnx"}), 0) << rig.err;
    EXPECT_EQ(FileBytes(rig.folder / "s.vnx"), PrimaryStore());

    ASSERT_EQ(rig.Run({"--savefs=" + folder + "/s.fs"}), 0) << rig.err;
    // The block's bytes as the firmware holds them: they read as the store.
    EXPECT_EQ(ObjectsOf(CVarnexImage(FileBytes(rig.folder / "s.fs"))), ObjectsOf(PrimaryStore()));

    ASSERT_EQ(rig.Run({"--rdobd=" + folder + "/o.csv,csv"}), 0) << rig.err;
    const std::string csv = FileText(rig.folder / "o.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 10);
    EXPECT_TRUE(Contains(csv, "MarketingName,Board Of The Adapter,\n")) << csv;
    EXPECT_TRUE(Contains(csv, "BoardSerialNumber,SN-ADAPTER-42,\n")) << csv;

    // Without a file the lines go to the console, and nothing says "saved".
    ASSERT_EQ(rig.Run({"--rdobd"}), 0) << rig.err;
    EXPECT_TRUE(Contains(rig.out, "MarketingName: Board Of The Adapter\n")) << rig.out;
    EXPECT_FALSE(Contains(rig.out, "saved successfully")) << rig.out;
}

TEST(VarnexReadCommands, FirmwareWithoutAStoreWritesNoFile)
{
    struct Case
    {
        std::string word;
        int exit;
        std::string shown;
        std::string file = "out.bin";
    };
    const std::vector<Case> cases = {
        {"--save=", 16, "Varnex image is not present\n", "out.vnx"},
        {"--rdbbo=", 5, "Varnex image is not present."},
        {"--rdoem=", 16, "Varnex image is not present\n"},
        {"--rdobd=", 16, "Varnex image is not present\n"},
        {"--rdobj=obd,", 16, "Varnex image is not present\n"},
        {"--savefs=", 5, "No Varnex image found."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.word);
        CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
        const std::string file = (rig.folder / c.file).string();
        EXPECT_EQ(rig.Run({c.word + file}), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        EXPECT_FALSE(std::filesystem::exists(file));
    }
}

TEST(CreateFileSystem, ConvertsOnlyARawStoreFileOfAtMostTwelveKilobytes)
{
    CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
    const std::vector<uint8_t> raw = PrimaryStore();
    const std::string board = rig.folder.WriteBytes("Board.VNX", raw);
    ASSERT_EQ(rig.Run({"--createfs=" + board}), 0) << rig.err;
    EXPECT_TRUE(
        Contains(rig.out, "FS Image saved successfully in " + (rig.folder / "Board.fs").string()));
    EXPECT_EQ(CVarnexImage(FileBytes(rig.folder / "Board.fs")).SerializeRaw(), raw);

    std::vector<uint8_t> big(12289, 0);
    big[0] = 'R';
    big[1] = 'O';
    big[2] = 'M';
    std::vector<uint8_t> fileSystem = testkit::CVarnexStoreBuilder().BuildFileSystem();
    struct Case
    {
        std::string name;
        std::vector<uint8_t> bytes;
        std::string shown;
    };
    // A directory cut short holds no objects: it would convert into an
    // erased image that flashfs refuses.
    const std::vector<uint8_t> noObjects = {'R', 'O', 'M', 1, 1, 64, 0, 0};
    const std::vector<Case> cases = {
        {"big.vnx", big, "size:12289ROM'."},
        {"none.vnx", noObjects, "size:" + std::to_string(noObjects.size()) + "ROM'."},
        {"junk.vnx", fileSystem, "size:" + std::to_string(fileSystem.size()) + "JFF'."},
        {"short.vnx", {'R', 'O'}, "size:2RO'."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string path = rig.folder.WriteBytes(c.name, c.bytes);
        EXPECT_EQ(rig.Run({"--createfs=" + path}), 5);
        EXPECT_TRUE(
            Contains(rig.out, "Incorrect Configuration Setting file format '" + path + c.shown))
            << rig.out;
    }
    // A wrong extension is refused before the file is looked for.
    EXPECT_EQ(rig.Run({"--createfs=" + (rig.folder / "board.bin").string()}), 2);
    EXPECT_TRUE(
        Contains(rig.err, "ERROR: Configuration Setting filename must have a *.vnx extension"))
        << rig.err;
    // Not a regular file: refused before anything is read.
    std::filesystem::create_symlink("/dev/zero", rig.folder / "zero.vnx");
    EXPECT_EQ(rig.Run({"--createfs=" + (rig.folder / "zero.vnx").string()}), 3);
    EXPECT_FALSE(std::filesystem::exists(rig.folder / "big.fs"));
    EXPECT_FALSE(std::filesystem::exists(rig.folder / "none.fs"));
    EXPECT_FALSE(std::filesystem::exists(rig.folder / "zero.fs"));
}
