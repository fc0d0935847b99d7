// romvise as a process on a machine of two adapters with the same firmware:
// the usage screen, set-up refusals, selection, the information commands and
// reboot. No row may change a chip.

#include "ProgramRun.h"

#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
struct Row
{
    const char* arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;    // each in standard output or error
    std::vector<std::string> notShown; // none of these anywhere
    int reboots = 0;
};
} // namespace

TEST(EngineeringRun, CommandTable)
{
    const std::vector<uint8_t> firmware = MakeFirmware();
    const std::vector<uint8_t> secondImage = MakeFirmware({.version = 0x86041C00});
    const std::string kBanner =
        "*                    ENGINEERING Romvise                         *";
    const std::string kPrompt = "Press 'Enter' to continue, or 'Q' to quit.";
    const std::vector<Row> rows = {
        // Written to a file, the usage screen runs through without reading a key.
        {"",
         "q",
         5,
         {kBanner, "-- Primary Commands --", "Update Varnex firmware:", "-- Supported EEPROM's --"},
         {kPrompt}},
        {"--help pp",
         "",
         5,
         {"Update Varnex firmware:", "-- Commands and Options -- ", "-- Supported EEPROM's --",
          "-- Help for --addpp/--delpp power policies descriptions --"},
         {}},
        {"--bogus --list",
         "",
         5,
         {"Unknown option: --bogus\n-- Primary Commands --"},
         {"Korvan display adapters present"}},
        {"-x", "", 5, {"Unknown option: -x\n-- Primary Commands --"}, {}},
        {"--log",
         "",
         5,
         {"No filename specified for --log.\n\nExample:\n  > romvise_eng --version "
          "--log=<FILE_NAME>.log\n"},
         {kBanner}},
        {"--index=abc --list",
         "",
         5,
         {"Invalid value \"abc\" for --index.\n\nExample:\n  > romvise_eng --index=1 --version\n"},
         {"Korvan display adapters present"}},
        {"--pcisegbus --version",
         "",
         5,
         {"ERROR: Incorrect format with --pcisegbus, the argument should comply\n"
          "       with the <SEG#>:<BUS#>[:<DEV#>.<FUN#>] format.\n"},
         {"BIOS Versions"}},
        {"image",
         "",
         5,
         {"Firmware image filename must have a valid extension. ( .rom .krr .efr .efirom )\n"},
         {}},
        {"--list",
         "",
         0,
         {"Korvan display adapters present in system:\n<0> Korvan Avrel2 800",
          "\n<1> Korvan Avrel2 800"},
         {}},
        {"--auto --version",
         "",
         0,
         {"BIOS Versions of Korvan display adapters present in system:\n\n<0> ", "\n<1> ",
          "86.04.1B.00"},
         {}},
        {"--auto --index=5 --version",
         "",
         2,
         {"\nERROR: Invalid display adapter index specified\n"},
         {}},
        {"--auto --pcisegbus 0:2 --version",
         "",
         0,
         {"Specified device by PCI Segment# = 0000, Bus# = 02.\n",
          "Adapter: Korvan Avrel2 800    (7E2B,0800,7E2B,0001) H:--:NRM  S:00,B:02,D:00,F:00\n",
          "Version               : 86.04.1B.00"},
         {"BIOS Versions of Korvan"}},
        {"--version p.krr", "", 0, {"** Firmware Versions **\n\n", "Image 0:\n", "Image 1:\n"}, {}},
        {"--auto --listpatches",
         "",
         2,
         {"\nERROR: Must specify a specific display adapter.\n"},
         {}},
        {"--lspci",
         "",
         0,
         {"List all the PCI devices in the system:\n", "<00> ", "<01> ", "<02> ", "<03> "},
         {"<04> "}},
        {"--pcisegbus 0:1:0.0 --setpci=3C.B=5A:0F",
         "",
         0,
         {"Configure PCI device in the system:\n", "Write BYTE: ", "  [0x003C] <- 0x"},
         {}},
        {"--setpci=3D.W",
         "",
         2,
         {"\nERROR: Invalid input, the argument must comply with the <REG>.<WIDTH> \n"},
         {"Write WORD"}},
        {"--auto --index=0 --display=16",
         "",
         0,
         {"S:00,B:01,D:00,F:00\n",
          "\n0000:  55 AA 80 00 00 00 00 00 00 00 00 00 00 00 00 00   U...............\n"},
         {"\n0010:  "}},
        {"--buildinfo",
         "",
         0,
         {"Build Information\n  - Build Date: ", "\n  - Build Time: ", "\n  - Build CL: "},
         {"Build Branch"}},
        {"--install",
         "",
         0,
         {"ROMVISE driver installed.\nPress any key to uninstall and terminate.\n"},
         {}},
        {"--reboot", "", 0, {}, {"-- Primary Commands --"}, 1},
        // A command's usage lines end the run at once: no reboot.
        {"--save --reboot",
         "",
         5,
         {"No filename specified.\n\nExample:\n  > romvise_eng --save=firmware.rom\n"},
         {},
         0},
        {"--index=0 --wroem --reboot",
         "",
         5,
         {"No filename specified.\n\nExample:\n  > romvise_eng --wroem <FILE_NAME>\n"},
         {"Not all parameters"},
         0},
        {"--index=0 --wrobd --reboot",
         "",
         5,
         {"No filename specified.\n\nExample:\n  > romvise_eng --wrobd <FILE_NAME>.csv\n"},
         {"Not all parameters"},
         0},
        {"--pcisegbus 0:1:0.0 --setpci=3C.Byte",
         "",
         0,
         {"Read BYTE:  offset 003C\n  [0x003C] -> 0x"},
         {"ERROR"}},
        {"--reboot --auto --index=5 --version",
         "",
         2,
         {"ERROR: Invalid display adapter index specified"},
         {}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.arguments);
        CProgramFolder folder;
        folder.MakeMachine({firmware, firmware});
        folder.WriteFile(
            "p.krr", testkit::CKrromWriter().Full(firmware, "A").Full(secondImage, "B").Build());
        const ProgramResult run = folder.Romvise(row.arguments, row.keys);
        const std::string all = run.out + run.err;
        EXPECT_EQ(run.exitCode, row.exitCode) << all;
        ExpectTexts(all, row.shown, row.notShown);
        const std::vector<uint8_t> reboots = folder.ReadFile("reboots.txt");
        EXPECT_EQ(std::string(reboots.begin(), reboots.end()).find('1') == 0, row.reboots == 1);
        EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
        EXPECT_TRUE(ChipHolds(folder.Chip(1), firmware));
    }
}
