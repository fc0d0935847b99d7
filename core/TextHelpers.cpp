#include "core/TextHelpers.h"

#include <algorithm>
#include <cctype>

std::string ToHex64(uint64_t value, uint32_t minDigits, HexCase letters)
{
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int remaining = static_cast<int>(std::min<uint32_t>(minDigits, 16));
    std::string reversed;
    while (remaining > 0 || value != 0)
    {
        reversed.push_back(digits[value & 0xF]);
        value >>= 4;
        --remaining;
    }
    return {reversed.rbegin(), reversed.rend()};
}

std::string ToHexString64(uint64_t value, uint32_t minDigits, HexCase letters)
{
    return "0x" + ToHex64(value, minDigits, letters);
}

std::string ToHex(uint32_t value, uint32_t minDigits)
{
    return ToHex64(value, std::min<uint32_t>(minDigits, 8));
}

std::string ToHexString(uint32_t value, uint32_t minDigits)
{
    return "0x" + ToHex(value, minDigits);
}

std::string FormatNumber(uint32_t value, uint32_t width)
{
    std::string digits = std::to_string(value);
    if (digits.size() < width)
    {
        digits.insert(0, width - digits.size(), '0');
    }
    return digits;
}

void SplitAtDelimiter(std::string text, std::string delimiter, std::vector<std::string>& pieces)
{
    if (delimiter.empty())
    {
        pieces.push_back(text);
        return;
    }
    size_t start = 0;
    for (size_t found = text.find(delimiter); found != std::string::npos;
         found = text.find(delimiter, start))
    {
        pieces.push_back(text.substr(start, found - start));
        start = found + delimiter.size();
    }
    pieces.push_back(text.substr(start));
}

void SplitString(const std::string& text, char delimiter, std::vector<std::string>& pieces)
{
    if (text.find(delimiter) == std::string::npos)
    {
        pieces.clear();
        return;
    }
    SplitAtDelimiter(text, std::string(1, delimiter), pieces);
}

std::string TrimWhitespace(const std::string& text)
{
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), isSpace);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    return first < last ? std::string(first, last) : std::string();
}
