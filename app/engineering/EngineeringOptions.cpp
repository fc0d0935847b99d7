// The engineering flasher's option table: the words that shape every run, the
// command words, and the words the lower layers read by name. Words whose file
// is the first plain argument take no value.

#include "app/engineering/EngineeringRun.h"

namespace
{
const OptionDescriptor kOptions[] = {
    // Commands.
    {"version", ' ', 0, "", "Display the firmware version of the adapters or of a file."},
    {"proggmac", ' ', 1, "<file>", "Program the GMAC microcontroller's application."},
    {"overridetype", ' ', 0, "", "With --proggmac: accept an image of another device ID."},
    {"savegmac", ' ', 1, "<file>", "Save the GMAC microcontroller's application."},
    {"querygmac", ' ', 1, "[file]", "Show the GMAC firmware version of a file or the adapter."},
    {"listpatches", ' ', 0, "", "List the run-time patches the adapter's firmware applied."},
    {"buildinfo", ' ', 0, "", "Display the build information."},
    {"lspci", ' ', 0, "", "List all the PCI functions (with --display, their configuration)."},
    {"setpci", ' ', 1, "<REG>.<W>[=<VAL>[:<MASK>]]", "Read or write a PCI configuration register."},
    {"list", ' ', 0, "", "List the adapters."},
    {"listgmac", ' ', 0, "", "List the GMAC microcontrollers and their adapters."},
    {"erasefull", ' ', 0, "", "Erase the whole EEPROM."},
    {"delete", ' ', 0, "", "Delete the firmware, keeping the Varnex store."},
    {"straps", ' ', 4, "<s0>,<s1>,<s2>,<s3>", "Set the four soft straps (decimal)."},
    {"guid", ' ', 1, "<16 hex digits>", "Set the IEEE 1394 GUID."},
    {"guidsource", ' ', 1, "main|dedicated", "Set the source of the IEEE 1394 GUID."},
    {"tv", ' ', 0, "", "Update the TV data from the file."},
    {"pciblocks", ' ', 0, "", "List the PCI firmware blocks of the adapter or of a file."},
    {"protecton", ' ', 0, "", "Switch the EEPROM's software protection on."},
    {"protectoff", ' ', 0, "", "Switch the EEPROM's software protection off."},
    {"check", ' ', 0, "", "Check for a supported EEPROM."},
    {"display", ' ', 1, "[bytes]", "Display the first bytes of the firmware (256 by default)."},
    {"test", ' ', 3, "<passes>,<start>[,<length>]", "EEPROM write test (passes 0: until it fails)."},
    {"stress", ' ', 0, "", "EEPROM stress test."},
    {"readtest", ' ', 3, "<passes>,<start>[,<length>]", "EEPROM read test (passes 0: until it fails)."},
    {"speed", ' ', 0, "", "Display the speedometer value."},
    {"install", ' ', 0, "", "Install the driver and wait for a key."},
    {"loadkestrix", ' ', 1, "[alt]", "Load Kestrix microcode (a value: the alternate style)."},
    {"attachkestrix", ' ', 0, "", "Attach to the microcode the PMU runs."},
    {"pmu", ' ', 1, "<file>", "The PMU engine's microcode image."},
    {"krdec", ' ', 1, "<file>", "The KRDEC engine's microcode image."},
    {"sec", ' ', 1, "<file>", "The SEC engine's microcode image."},
    {"ecid", ' ', 0, "", "Display the SHA2 hash of the chip's ECID."},
    {"presregtune", ' ', 1, "<REG>[[<MSB>:<LSB>]]=<VALUE>", "Tune a preserved register setting."},
    {"presdatatune", ' ', 64, "<ID>[:Width][,<Data>]...", "Read or tune a preserved data block."},
    {"help", ' ', 1, "[pp]", "Show this screen; pp adds the power-policy help."},
    // The words that shape every command.
    {"log", ' ', 1, "<file>", "Write a log file."},
    {"crashlog", ' ', 1, "<file>", "Append the log to a file at every message."},
    {"debug", ' ', 0, "", "Show the detailed log on the console."},
    {"auto", ' ', 0, "", "Answer the questions with yes."},
    {"noconfirm", ' ', 0, "", "With --auto: skip the confirmations."},
    {"swspi", ' ', 0, "", "Use software SPI for the microcontroller's EEPROM."},
    {"index", ' ', 1, "<n>|ask", "Select the adapter by number, or ask."},
    {"pcisegbus", ' ', 1, "<SEG>:<BUS>[:<DEV>.<FUN>]", "Select by PCI location (hexadecimal)."},
    {"filterdevid", ' ', 2, "<id>[,<mask>]", "Keep only adapters with the device ID."},
    {"reversefilterid", ' ', 1, "<id>", "Leave out adapters with the device ID."},
    {"fwindex", ' ', 1, "<n>|ask|match", "Select the image of a ROM pack."},
    {"override", ' ', 1, "1|2|3", "Accept an unlisted EEPROM (1), adapter (2) or both (3)."},
    {"noretries", ' ', 0, "", "Do not retry a failed EEPROM operation."},
    {"extversion", ' ', 0, "", "Show the extended version information."},
    {"nopowerchk", ' ', 0, "", "Skip the power check."},
    {"manualread", ' ', 0, "", "Read the firmware byte by byte."},
    {"reboot", ' ', 0, "", "Reboot after the command."},
    {"full", ' ', 0, "", "With --pciblocks: every field."},
    // Read by the lower layers.
    {"altdevid", ' ', 1, "", ""},
    {"beep", ' ', 0, "", ""},
    {"diffsonly", ' ', 0, "", ""},
    {"ifronly", ' ', 0, "", ""},
    {"mergevarnex", ' ', 0, "", ""},
    {"nokestrix", ' ', 0, "", ""},
    {"nolight", ' ', 0, "", ""},
    {"offswdriver", ' ', 0, "", ""},
    {"offsysplxfilter", ' ', 0, "", ""},
    {"relaxdevid", ' ', 0, "", ""},
    {"romin", ' ', 1, "", ""},
    {"romout", ' ', 1, "", ""},
    {"silence", ' ', 1, "", ""},
    {"verify", ' ', 0, "", ""},
    {"wiuconsole", ' ', 0, "", ""},
};
} // namespace

std::span<const OptionDescriptor> EngineeringOptions()
{
    return kOptions;
}
