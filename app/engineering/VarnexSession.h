#pragma once
// What every Varnex command that works on an adapter begins with: the
// action text in the log, the reading text, and the adapter's EEPROM, its
// current firmware (or the --romin file) and the store that firmware holds.
// Messages collected while the command runs go to the log and the console
// together at its end.

#include "app/engineering/EngineeringCommands.h"
#include "app/engineering/VarnexFiles.h"
#include "flasher/VarnexStatus.h"
#include "varnex/VarnexImage.h"

#include <optional>
#include <sstream>
#include <string>

// The last lines of the questions before a change that may lose data.
inline constexpr const char* kContinueQuestion =
    "\nAre you sure you want to continue?\nPress 'y' to confirm (any other key to abort): ";

struct VarnexSession
{
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image;
    CRefPtr<CVarnexImage> store; // null when the firmware carries none
    std::ostringstream message;
    CFileAccess files;
};

// Reads the adapter's images; false, with the engine's status as the run's
// result, when they cannot be read.
bool OpenVarnexSession(EngineeringCommand& command, VarnexSession& session,
                       const std::string& actionText, const std::string& readingText);
// Hands the collected messages to the log and the console and signals the
// command's end.
void CloseVarnexSession(EngineeringCommand& command, VarnexSession& session);
// "Varnex image is not present" on standard output and the status.
int ReportNoVarnexImage(int status, bool fullStop);
// Two new lines, the text and a new line in the log.
void LogCommandLine(CLog* log, const std::string& text);
// Restores the display driver and refuses the command's input.
[[noreturn]] void RefuseCommand(CLog* log, const std::string& text);

// The board-data question: the question and its prompt unless skipped; a
// key other than 'y' releases the adapter and raises "Aborted!".
void AskToUpdate(EngineeringCommand& command, const std::string& question, bool skip);

struct WriteBackTexts
{
    const char* success;
    const char* failure;
    int failureStatus;
};
inline constexpr WriteBackTexts kStoreUpdatedTexts{"Varnex image updated successfully.",
                                                   "Failed to write Varnex image.", kVarnexRefused};
// Programs the firmware with the new store (and the backup store when
// `hasBackup`; the firmware's own backup block stays otherwise), or writes
// it to the --romout file: the status, the text in the session's message.
int WriteBack(EngineeringCommand& command, VarnexSession& session, WriteBackTexts texts,
              std::vector<uint8_t> primary, std::vector<uint8_t> backup = {},
              bool hasBackup = false);
std::vector<uint8_t> FileSystemForm(const CVarnexImage& store, CLog* log);
// The whole text as a number ("0x" hexadecimal, a leading 0 octal, else
// decimal) no larger than the limit.
std::optional<uint32_t> ReadNumberOfAnyBase(const std::string& text, uint32_t limit);
// Value `index` of the option's first occurrence.
std::string OptionValue(EngineeringCommand& command, const std::string& word, int index = 0);
// Clears the object; the ECC object, whose own Clear keeps its data across
// updates, has its body zeroed, as the question asking for it says.
void ClearStoreObject(CVarnexImageObject& object);
