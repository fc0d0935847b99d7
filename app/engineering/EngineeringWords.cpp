// The option words that shape every command rather than naming one (the
// log, the answers, the adapter and image selection, the overrides, the
// reboot), and the words the lower layers read by name: those have no help
// text and stay off the help screen.

#include "app/engineering/EngineeringCommands.h"

CommandFamily RunWordFamily()
{
    static const WordRow kWords[] = {
        {"help", 1, "[pp]", "Show this screen; pp adds the power-policy help.", 630},
        {"log", 1, "<file>", "Write a log file.", 640},
        {"crashlog", 1, "<file>", "Write this run's log to a file at every message.", 650},
        {"debug", 0, "", "Show the detailed log on the console.", 660},
        {"auto", 0, "", "Answer the questions with yes.", 670},
        {"noconfirm", 0, "", "With --auto: skip the confirmations.", 680},
        {"swspi", 0, "", "Use software SPI for the microcontroller's EEPROM.", 690},
        {"index", 1, "<n>|ask", "Select the adapter by number, or ask.", 700},
        {"pcisegbus", 1, "<SEG>:<BUS>[:<DEV>.<FUN>]", "Select by PCI location (hexadecimal).", 710},
        {"filterdevid", 2, "<id>[,<mask>]", "Keep only adapters with the device ID.", 720},
        {"reversefilterid", 1, "<id>", "Leave out adapters with the device ID.", 730},
        {"fwindex", 1, "<n>|ask|match", "Select the image of a ROM pack.", 740},
        {"partopts", 1, "<file>.csv", "Add the EEPROM part the file describes, for testing.", 750},
        {"override", 1, "1|2|3", "Accept an unlisted EEPROM (1), adapter (2) or both (3).", 760},
        {"noretries", 0, "", "Do not retry a failed EEPROM operation.", 770},
        {"extversion", 0, "", "Show the extended version information.", 780},
        {"nopowerchk", 0, "", "Skip the power check.", 790},
        {"manualread", 0, "", "Read the firmware byte by byte.", 800},
        {"reboot", 0, "", "Reboot after the command.", 810},
        {"altdevid", 1, "", "", 980},
        {"beep", 0, "", "", 990},
        {"diffsonly", 0, "", "", 1000},
        {"mergevarnex", 0, "", "", 1010},
        {"nokestrix", 0, "", "", 1020},
        {"nolight", 0, "", "", 1030},
        {"offswdriver", 0, "", "", 1040},
        {"offsysplxfilter", 0, "", "", 1050},
        {"relaxdevid", 0, "", "", 1060},
        {"silence", 1, "", "", 1090},
        {"wiuconsole", 0, "", "", 1100},
    };
    return {kWords, {}, {}};
}
