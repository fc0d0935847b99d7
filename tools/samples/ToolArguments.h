#pragma once
// The small command-line reading the sample generators share: "--name VALUE"
// options, "--name" flags and plain words, with hexadecimal numbers. Every
// option a tool takes is declared; a word the tool does not know, or a value it
// cannot honour, is refused with the reason (exit code 2), so that a typing
// mistake never yields a file other than the one asked for.

#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// One option a tool takes.
struct ToolOptionSpec
{
    std::string name;
    // The option takes a value; otherwise it is a flag.
    bool takesValue = true;
    // The option may be given more than once.
    bool repeatable = false;
};

struct ToolArguments
{
    std::multimap<std::string, std::string> options;
    std::vector<std::string> plain;
    bool help = false;
};

// A request the tool refuses: the reason is shown, the exit code is 2.
class ToolRefusal : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

inline ToolArguments ReadToolArguments(int argc, char** argv,
                                       const std::vector<ToolOptionSpec>& known)
{
    ToolArguments arguments;
    for (int i = 1; i < argc; ++i)
    {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h")
        {
            arguments.help = true;
            continue;
        }
        if (!word.starts_with("-") || word == "-")
        {
            arguments.plain.push_back(word);
            continue;
        }
        const ToolOptionSpec* spec = nullptr;
        for (const ToolOptionSpec& option : known)
        {
            spec = word == "--" + option.name ? &option : spec;
        }
        if (!spec)
        {
            throw ToolRefusal("unknown option " + word);
        }
        if (!spec->repeatable && arguments.options.contains(spec->name))
        {
            throw ToolRefusal(word + " is given more than once");
        }
        if (!spec->takesValue)
        {
            arguments.options.emplace(spec->name, "");
        }
        else if (i + 1 < argc)
        {
            arguments.options.emplace(spec->name, argv[++i]);
        }
        else
        {
            throw ToolRefusal("missing value for " + word);
        }
    }
    return arguments;
}

// A number of at most `largest`, hexadecimal unless another base is given;
// `what` names it in the refusal.
inline uint64_t ParseToolNumber(const std::string& text, uint64_t largest, const std::string& what,
                                int base = 16)
{
    size_t used = 0;
    unsigned long long value = 0;
    try
    {
        value = std::stoull(text, &used, base);
    }
    catch (const std::exception&)
    {
        used = 0;
    }
    if (text.empty() || text[0] == '-' || text[0] == '+' || used != text.size() || value > largest)
    {
        throw ToolRefusal("invalid " + what + ": \"" + text + "\"");
    }
    return value;
}

inline std::string ToolOption(const ToolArguments& arguments, const std::string& name,
                              const std::string& fallback)
{
    const auto found = arguments.options.find(name);
    return found == arguments.options.end() ? fallback : found->second;
}

inline bool HasToolOption(const ToolArguments& arguments, const std::string& name)
{
    return arguments.options.contains(name);
}

// Bytes written as hexadecimal digit pairs ("B0A4D0A7").
inline std::vector<uint8_t> ParseToolBytes(const std::string& text, const std::string& what,
                                           size_t largest)
{
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > largest)
    {
        throw ToolRefusal("invalid " + what + " (1 to " + std::to_string(largest) +
                          " bytes as hexadecimal digit pairs): \"" + text + "\"");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2)
    {
        bytes.push_back(static_cast<uint8_t>(ParseToolNumber(text.substr(i, 2), 0xFF, what)));
    }
    return bytes;
}

// The generators' main: "--help" shows the usage; a refusal or failure shows
// the tool's name and the reason and gives exit code 2.
inline int RunTool(const char* name, const std::string& usage, int argc, char** argv,
                   const std::vector<ToolOptionSpec>& known,
                   const std::function<int(const ToolArguments&)>& make)
{
    try
    {
        const ToolArguments arguments = ReadToolArguments(argc, argv, known);
        if (arguments.help)
        {
            std::cout << usage << std::endl;
            return 0;
        }
        return make(arguments);
    }
    catch (const std::exception& error)
    {
        std::cerr << name << ": " << error.what() << "\nRun '" << name
                  << " --help' for its options." << std::endl;
        return 2;
    }
}
