// The openssl command line from tests and benchmarks.

#include "testkit/crypto/OpenSslCommand.h"

#include "core/TextHelpers.h"

#include <cstdio>
#include <stdexcept>

namespace testkit
{
std::string RunCommand(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
    {
        throw std::runtime_error("cannot run: " + command);
    }
    std::string output;
    char buffer[4096];
    size_t read = 0;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    {
        output.append(buffer, read);
    }
    if (pclose(pipe) != 0)
    {
        throw std::runtime_error("command failed: " + command);
    }
    return output;
}

std::string HexText(const uint8_t* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
    {
        text += ToHex64(bytes[i], 2, HexCase::Lower);
    }
    return text;
}
} // namespace testkit
