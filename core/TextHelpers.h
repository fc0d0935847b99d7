#pragma once
// Small text routines every subsystem uses.

#include <cstdint>
#include <string>
#include <vector>

// Upper-case hexadecimal without prefix, zero-filled to minDigits (capped at 8).
std::string ToHex(uint32_t value, uint32_t minDigits);
// "0x" followed by ToHex.
std::string ToHexString(uint32_t value, uint32_t minDigits);
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
