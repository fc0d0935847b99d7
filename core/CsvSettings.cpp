#include "core/CsvSettings.h"

#include "core/TextHelpers.h"
#include "core/UserFile.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>

bool CsvSettings::ReadCsvFile(const char* path, std::string* content)
{
    const UserFileContents file = ReadUserFile(path, UserFileFormat::kSettings);
    if (!file.Read())
    {
        std::cout << "Couldn't open " << path << "\n";
        return false;
    }
    content->assign(file.bytes.begin(), file.bytes.end());
    return true;
}

bool CsvSettings::PrintCsvTable(const char* path, CLog* log)
{
    log->SetLevel(3);
    std::string text;
    if (!ReadCsvFile(path, &text))
    {
        return false;
    }
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    *log << "Contents: " << LogEndl;
    *log << text << LogEndl;

    std::vector<std::string> rows;
    SplitAtDelimiter(text, "\n", rows);
    for (size_t number = 0; number < rows.size(); ++number)
    {
        const std::string& row = rows[number];
        if (row.empty() || row.find("//") != std::string::npos)
        {
            continue;
        }
        *log << "ROW #" << ToHex(static_cast<uint32_t>(number), 2) << ": " << std::left
             << std::setw(43) << row << "( Width = " << row.size() << " )" << LogEndl;
        if (!ParseCsvLine(row.c_str(), log))
        {
            return false;
        }
    }
    for (const Pair& pair : m_pairs)
    {
        *log << "Field: " << pair.name << "  -->  " << pair.value << LogEndl;
    }
    return true;
}

bool CsvSettings::ParseCsvLine(const char* row, CLog* log)
{
    std::vector<std::string> fields;
    SplitAtDelimiter(row, ",", fields);
    const std::string& name = fields[0];
    const bool hasValueField = fields.size() >= 2;
    const std::string value = hasValueField ? fields[1] : std::string();

    *log << std::left << "  Column " << std::setw(30) << name << " : "
         << (value.empty() ? std::string("<Blank/Empty>") : value) << LogEndl;

    // A row needs a name and a value field; a row without a comma has no value
    // field at all and is refused like a row without a name.
    if (name.empty() || !hasValueField)
    {
        *log << LogLevel(4) << "Failed to parse the CSV file." << LogEndl;
        return false;
    }
    m_pairs.push_back({TrimWhitespace(name), TrimWhitespace(value)});

    if (value.find('+') != std::string::npos)
    {
        *log << LogLevel(4) << LogEndl;
        *log << "  Warning: Detected a '+' character in the " << name << " field." << LogEndl;
        *log << "  Field: " << name << ", Value: " << value << LogEndl;
    }
    return true;
}

bool CsvSettings::FindCsvValue(const char* name, std::string* value) const
{
    const auto found = std::find_if(m_pairs.begin(), m_pairs.end(),
                                    [&](const Pair& pair) { return pair.name == name; });
    if (found == m_pairs.end() || found->value.empty())
    {
        return false;
    }
    *value = found->value;
    return true;
}
