#pragma once
// Files the programs write for the user. Two rules, one per kind of file:
//
// - WriteNewFile (backups): created anew, never over an existing file nor
//   through a link.
// - WriteOutputFile (saved firmware, Varnex and board-data files, the
//   microcontroller's saved application): a name that does not exist is
//   created exclusively without following links; an existing regular file
//   is replaced in one step (a temporary file beside it, flushed to disk and
//   renamed over it with the old file's mode), so a failed write keeps the
//   old file; anything else in the name's place (a link, a directory, a
//   device, a FIFO) is refused and left as it is.
//
// Both remove what they wrote when its bytes could not all reach the disk,
// so that no partial file passes for a whole one.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

struct NewFileOutcome
{
    bool created = false; // false: the file could not be created (see error)
    int error = 0;        // 0, or the error number of the step that failed
};

// Writes the pieces in order, syncs and closes the file.
NewFileOutcome WriteNewFile(const std::string& path,
                            std::initializer_list<std::span<const uint8_t>> pieces);

enum class OutputFileStatus
{
    Written,
    NotRegularFile, // something other than a regular file has the name
    CannotCreate,   // error: why the file (or its temporary file) could not be made
    WriteFailed,    // error: why the bytes did not reach the disk
};

struct OutputFileOutcome
{
    OutputFileStatus status = OutputFileStatus::Written;
    int error = 0;
};

// Writes the pieces in order to the file by the rule above.
OutputFileOutcome WriteOutputFile(const std::string& path,
                                  std::initializer_list<std::span<const uint8_t>> pieces);

// "Cannot create file: <path> (<reason>)" for an outcome that created
// nothing: the reason is "not a regular file" or the error's text.
std::string CannotCreateText(const std::string& path, const OutputFileOutcome& outcome);

// WriteOutputFile for callers that report failures as io_error: the
// CannotCreateText when nothing was made, else `writeFailedText`.
void WriteOutputFileOrThrow(const std::string& path,
                            std::initializer_list<std::span<const uint8_t>> pieces,
                            const std::string& writeFailedText);
