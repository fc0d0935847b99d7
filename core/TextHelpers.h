#pragma once
// Small text routines every subsystem uses.

#include <cstdint>
#include <string>
#include <vector>

// The letters a hexadecimal number is written with.
enum class HexCase
{
    Upper,
    Lower,
};

// Upper-case hexadecimal without prefix, zero-filled to minDigits (capped at 8).
// A zero value with minDigits 0 gives the empty text.
std::string ToHex(uint32_t value, uint32_t minDigits);
// "0x" followed by ToHex.
std::string ToHexString(uint32_t value, uint32_t minDigits);
// The same for 64-bit values, minDigits capped at 16: ToHex64(v, 1) is the
// shortest text of v ("%llX"), with HexCase::Lower "%llx".
std::string ToHex64(uint64_t value, uint32_t minDigits, HexCase letters = HexCase::Upper);
// "0x" followed by ToHex64.
std::string ToHexString64(uint64_t value, uint32_t minDigits, HexCase letters = HexCase::Upper);
// Unsigned decimal, zero-filled on the left to width; longer numbers are whole.
std::string FormatNumber(uint32_t value, uint32_t width);
// Appends the pieces of text between occurrences of delimiter; always at least
// one piece.
void SplitAtDelimiter(std::string text, std::string delimiter, std::vector<std::string>& pieces);
// Empties pieces when text holds no delimiter; otherwise appends the n + 1
// pieces around its n delimiters. Callers rely on "empty" meaning "no delimiter".
void SplitString(const std::string& text, char delimiter, std::vector<std::string>& pieces);
// Copy without leading and trailing white space (isspace).
std::string TrimWhitespace(const std::string& text);
