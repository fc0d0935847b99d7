#pragma once
// The small command-line reading the sample generators share: "--name VALUE"
// options and plain words, with hexadecimal numbers.

#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct ToolArguments
{
    std::multimap<std::string, std::string> options;
    std::vector<std::string> plain;
    bool help = false;
};

// Options in `flags` take no value; every other "--word" takes one.
inline ToolArguments ReadToolArguments(int argc, char** argv,
                                       const std::vector<std::string>& flags = {})
{
    ToolArguments arguments;
    for (int i = 1; i < argc; ++i)
    {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h")
        {
            arguments.help = true;
        }
        else if (word.starts_with("--"))
        {
            const std::string name = word.substr(2);
            bool isFlag = false;
            for (const std::string& flag : flags)
            {
                isFlag = isFlag || flag == name;
            }
            if (isFlag)
            {
                arguments.options.emplace(name, "");
            }
            else if (i + 1 < argc)
            {
                arguments.options.emplace(name, argv[++i]);
            }
            else
            {
                throw std::runtime_error("missing value for " + word);
            }
        }
        else
        {
            arguments.plain.push_back(word);
        }
    }
    return arguments;
}

inline uint32_t ParseToolNumber(const std::string& text, uint32_t largest, int base = 16)
{
    size_t used = 0;
    unsigned long value = 0;
    try
    {
        value = std::stoul(text, &used, base);
    }
    catch (const std::exception&)
    {
        used = 0;
    }
    if (text.empty() || used != text.size() || value > largest)
    {
        throw std::runtime_error("invalid number: " + text);
    }
    return static_cast<uint32_t>(value);
}

inline std::string ToolOption(const ToolArguments& arguments, const std::string& name,
                              const std::string& fallback)
{
    const auto found = arguments.options.find(name);
    return found == arguments.options.end() ? fallback : found->second;
}

// The generators' main: "--help" shows the usage; a failure shows the reason
// and the usage and gives exit code 1.
inline int RunTool(const char* name, const char* usage, int argc, char** argv,
                   const std::function<int(const ToolArguments&)>& make)
{
    try
    {
        const ToolArguments arguments = ReadToolArguments(argc, argv);
        if (arguments.help)
        {
            std::cout << usage << std::endl;
            return 0;
        }
        return make(arguments);
    }
    catch (const std::exception& error)
    {
        std::cerr << name << ": " << error.what() << '\n' << usage << std::endl;
        return 1;
    }
}
