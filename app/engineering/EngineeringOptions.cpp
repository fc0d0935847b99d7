// The engineering flasher's option table: the words that shape every run, the
// command words, and the words the lower layers read by name. Words whose file
// is the first plain argument take no value.

#include "app/engineering/EngineeringRun.h"

namespace
{
const OptionDescriptor kOptions[] = {
    // Commands.
    {"version", ' ', 0, "", "Display the firmware version of the adapters or of a file."},
    {"listpatches", ' ', 0, "", "List the run-time patches the adapter's firmware applied."},
    {"buildinfo", ' ', 0, "", "Display the build information."},
    {"lspci", ' ', 0, "", "List all the PCI functions (with --display, their configuration)."},
    {"setpci", ' ', 1, "<REG>.<W>[=<VAL>[:<MASK>]]", "Read or write a PCI configuration register."},
    {"list", ' ', 0, "", "List the adapters."},
    {"wroem", ' ', 1, "<file>", "Write the OEM data of the adapter's Varnex image from a file."},
    {"rdoem", ' ', 1, "<file>", "Save the OEM data of the adapter's Varnex image to a file."},
    {"wrobd", ' ', 1, "<file>.csv", "Write board data fields of the Varnex image from a file."},
    {"rdobd", ' ', 2, "[<file>[,csv]]", "Save (or show) the board data of the Varnex image."},
    {"erasevarnex", ' ', 0, "", "Erase both Varnex images of the adapter."},
    {"clpbl", ' ', 0, "", "Clear the retired pages of the PBL object."},
    {"clearvarnex", ' ', 1, "<BBX|PBL|ECC>", "Clear one object of the Varnex image."},
    {"clbbx", ' ', 0, "", "Clear the BBX object of the Varnex image."},
    {"clecc", ' ', 0, "", "Clear the ECC object of the Varnex image."},
    {"repairvarnex", ' ', 1, "[pages]", "Repair the Varnex image from the backup image."},
    {"wrbbo", ' ', 2, "id=<X.Y> value=<Z>", "Write the BBO data of the Varnex image."},
    {"rdbbo", ' ', 1, "[<file>]", "Save the BBO data of the Varnex image (bbo.txt by default)."},
    {"recovervarnex", ' ', 0, "", "Restore the Varnex image from the backup image."},
    {"wrkrpn", ' ', 1, "<number>", "Write the board's product number into the Varnex image."},
    {"addpp", ' ', 3, "<policy>,<attribute>,<value>", "Add or update a power policy."},
    {"delpp", ' ', 2, "<policy>,<attribute>", "Delete a power policy."},
    {"listpp", ' ', 0, "", "List the power policies of the Varnex image."},
    {"backupvarnex", ' ', 0, "", "Copy the Varnex image into the firmware's backup block."},
    {"flashfs", ' ', 1, "<file>.fs", "Write a file-system image as the Varnex image."},
    {"savefs", ' ', 1, "<file>.fs", "Save the firmware's Varnex block as a file-system image."},
    {"rdobj", ' ', 2, "<name>,<file>", "Save one object of the Varnex image to a file."},
    {"createfs", ' ', 1, "<file>.vnx", "Convert a Varnex image file into <file>.fs."},
    {"flashvarnex", ' ', 1, "<file>.vnx", "Update the Varnex image from a file."},
    {"pciblocks", ' ', 0, "", "List the PCI firmware blocks of the adapter or of a file."},
    {"check", ' ', 0, "", "Check for a supported EEPROM."},
    {"display", ' ', 1, "[bytes]", "Display the first bytes of the firmware (256 by default)."},
    {"speed", ' ', 0, "", "Display the speedometer value."},
    {"install", ' ', 0, "", "Install the driver and wait for a key."},
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
    {"partopts", ' ', 1, "<file>.csv", "Add the EEPROM part the file describes, for testing."},
    {"override", ' ', 1, "1|2|3", "Accept an unlisted EEPROM (1), adapter (2) or both (3)."},
    {"noretries", ' ', 0, "", "Do not retry a failed EEPROM operation."},
    {"extversion", ' ', 0, "", "Show the extended version information."},
    {"nopowerchk", ' ', 0, "", "Skip the power check."},
    {"manualread", ' ', 0, "", "Read the firmware byte by byte."},
    {"reboot", ' ', 0, "", "Reboot after the command."},
    {"full", ' ', 0, "", "With --pciblocks: every field."},
    {"force", ' ', 0, "", "With --wrbbo: skip the question."},
    {"invalid", ' ', 0, "", "With --flashvarnex: accept a file that is not a Varnex image."},
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
