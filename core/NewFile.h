#pragma once
// Files the programs write for the user (saved firmware, backups): created
// anew, never over an existing file nor through a link, and removed again
// when their bytes could not all reach the disk, so that no partial file
// passes for a whole one.

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
