// The OBD body's named fields: the one description of its layout, and the
// field reads and writes every user of board data goes through.

#include "varnex/ObdFields.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace
{
uint32_t HexDigitValue(char digit)
{
    if (digit >= 'A' && digit <= 'F')
    {
        return static_cast<uint32_t>(digit - 'A' + 10);
    }
    if (digit >= 'a' && digit <= 'f')
    {
        return static_cast<uint32_t>(digit - 'a' + 10);
    }
    return static_cast<uint8_t>(digit) & 0xFu;
}
} // namespace

const std::vector<ObdField>& ObdFields()
{
    static const std::vector<ObdField> fields = {
        {"BoardBuildDate", 0, 4, "Error: Invalid Board Build Date (too big)", true},
        {"MarketingName", 4, 24, "Error: Invalid marketing name (too big)"},
        {"BoardSerialNumber", 28, 16, "Error: Invalid board serial number (too big)"},
        {"MemoryManufacturer", 44, 1, "Error: Invalid Memory Vendor ID (too big)"},
        {"MemoryPartID", 45, 20, "Error: Invalid Memory Part ID (too big)"},
        {"MemoryDateCode", 65, 6, "Error: Invalid Memory Date Code (too big)"},
        {"BoardProductPartNumber", 71, 20, "Error: Invalid board product number (too big)"},
        {"BoardRevision", 91, 3, "Error: Invalid Board Revision (too big)"},
        {"BoardType", 94, 1, "Error: Invalid Board Type (too big)"},
        {"Board699PartNumber", 95, 20, "Error: Invalid board 699 number (too big)"},
    };
    return fields;
}

std::string GetObdField(const CVarnexImageObject& obd, const ObdField& field)
{
    std::vector<uint8_t> body = obd.GetData();
    body.resize(kObdBodyLength, 0);
    if (field.isDate)
    {
        const uint32_t value = body[0] | body[1] << 8 | body[2] << 16 | uint32_t{body[3]} << 24;
        if (value == 0)
        {
            return "0";
        }
        char text[16];
        std::snprintf(text, sizeof text, "%08X", value);
        return text;
    }
    return std::string(body.begin() + field.offset, body.begin() + field.offset + field.length);
}

bool SetObdField(CVarnexImageObject& obd, const ObdField& field, const std::string& text)
{
    const size_t longest = field.isDate ? 8 : field.length;
    if (text.size() > longest)
    {
        std::cout << field.tooBigText << std::endl;
        return false;
    }
    std::vector<uint8_t> body = obd.GetData();
    body.resize(std::max(body.size(), kObdBodyLength), 0);
    if (field.isDate)
    {
        // One hexadecimal digit a character: "20240305" becomes 0x20240305,
        // and the text read from a field gives its value back, A to F
        // included.
        uint32_t value = 0;
        for (char digit : text)
        {
            value = value << 4 | HexDigitValue(digit);
        }
        for (size_t i = 0; i < 4; ++i)
        {
            body[i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    else
    {
        std::fill(body.begin() + field.offset, body.begin() + field.offset + field.length, 0);
        std::copy(text.begin(), text.end(), body.begin() + field.offset);
    }
    return obd.SetData(body);
}

const ObdField& FindObdField(std::string_view name)
{
    for (const ObdField& field : ObdFields())
    {
        if (field.name == name)
        {
            return field;
        }
    }
    throw std::invalid_argument(std::string(name));
}
