#pragma once
// Runs the openssl command line, for tests and benchmarks that compare with it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit
{
// Standard output of the shell command; throws when it cannot run or exits
// non-zero.
std::string RunCommand(const std::string& command);
// The lower-case hexadecimal text of bytes, as the command line takes keys.
std::string HexText(const uint8_t* bytes, size_t count);
} // namespace testkit
