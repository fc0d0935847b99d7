#pragma once
// Settings read from a small text file of comma-separated name/value rows.

#include "core/Log.h"

#include <string>
#include <utility>
#include <vector>

class CsvSettings
{
public:
    struct Pair
    {
        std::string name;
        std::string value;
    };

    // Reads the file, logs its dump and appends every row's pair. False when
    // the file cannot be opened or a row cannot be parsed; pairs appended
    // before the failing row stay.
    bool PrintCsvTable(const char* path, CLog* log);
    // Appends one row's pair; false for a row without a name or without a
    // value field.
    bool ParseCsvLine(const char* row, CLog* log);
    // The whole file as text; prints "Couldn't open <path>" when it cannot be
    // read, is not a regular file or is larger than a settings file may be.
    static bool ReadCsvFile(const char* path, std::string* content);
    // The value of the first pair of that name, when that value is not empty.
    bool FindCsvValue(const char* name, std::string* value) const;

    const std::vector<Pair>& GetPairs() const { return m_pairs; }

private:
    std::vector<Pair> m_pairs;
};
