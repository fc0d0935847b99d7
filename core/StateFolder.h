#pragma once
// The state folder holds the update records, which decide what a later run
// writes to an adapter. It must be the program's own: a record planted there
// would become a board's data, a planted link would have the program write
// over any file it can reach.

#include <filesystem>

// Throws io_error naming the folder when it is a link, not a folder, not
// owned by the effective user, or writable by its group or by others. A
// folder that does not exist passes: there is nothing in it to trust yet.
void CheckStateFolder(const std::filesystem::path& folder);
