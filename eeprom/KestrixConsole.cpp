// CKestrixLoader: the debug console's shell. A line editor with a 30-line
// history reads keys through the operating-system layer; the line is split
// into at most 20 tokens of at most 49 characters, and its first token names
// a command of the table below.

#include "eeprom/KestrixLoader.h"

#include "core/platform/PlatformServices.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace
{
constexpr int kEraseLine = 0x04;
constexpr int kBackspace = 0x08;
constexpr int kTab = 0x09;
constexpr int kDelete = 0x7F;
constexpr int kEraseWord = 0x17;
constexpr int kEscape = 0x1B;

constexpr uint32_t kKeyEscape = 1;
constexpr uint32_t kKeyBracket = 2;
constexpr uint32_t kKeyEraseInSequence = 4;
constexpr uint32_t kKeyComplete = 0x80;

constexpr size_t kNamesPerRow = 5;

const std::array<KestrixConsoleCommand, 13> kCommands = {{
    {&CKestrixLoader::ConsoleCmd, &CKestrixLoader::HelpCmd, "cmd", 0},
    {&CKestrixLoader::ConsoleImem, &CKestrixLoader::HelpDmem, "imem", 0},
    {&CKestrixLoader::ConsoleDmem, &CKestrixLoader::HelpDmem, "dmem", 0},
    {&CKestrixLoader::ConsoleDmemWrite, &CKestrixLoader::HelpDmemwr, "dmemwr", 0},
    {&CKestrixLoader::ConsoleDmap, &CKestrixLoader::HelpDmap, "dmap", 0},
    {&CKestrixLoader::ConsoleGetlog, &CKestrixLoader::HelpGetlog, "getlog", 0},
    {&CKestrixLoader::ConsoleRd, &CKestrixLoader::HelpRd, "rd", 0},
    {&CKestrixLoader::ConsoleWr, &CKestrixLoader::HelpWr, "wr", 0},
    {&CKestrixLoader::ConsolePrd, &CKestrixLoader::HelpPrd, "prd", 0},
    {&CKestrixLoader::ConsolePwr, &CKestrixLoader::HelpPwr, "pwr", 0},
    {&CKestrixLoader::ConsoleIcd, &CKestrixLoader::HelpIcd, "icd", 0},
    {&CKestrixLoader::ConsoleI2c, &CKestrixLoader::HelpI2c, "i2c", 0},
    {&CKestrixLoader::ConsoleVv, &CKestrixLoader::HelpVv, "vv", 0},
}};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int ReadConsoleKey()
{
    IConsoleInput* input = GetPlatformServices().consoleInput.get();
    return input ? input->ReadKeyWithEcho() : kConsoleEndOfInput;
}
} // namespace

void CKestrixLoader::ConsolePrint(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
    {
        std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    }
    va_end(arguments);
    (m_consoleOut ? *m_consoleOut : std::cout) << text << std::flush;
}

void CKestrixLoader::ResetConsoleState()
{
    m_registerAddress = 0;
    m_registerCount = 1;
    m_dmemDumpLength = 8;
    m_imemDumpLength = 8;
    m_keyState = 0;
    // The console may talk to the chip directly: the part must be identified
    // again afterwards.
    m_eepromId = 0;
    m_partBlock.reset();
}

uint32_t CKestrixLoader::RunConsoleWithMessage(const std::string& message)
{
    ConsolePrint("+++++++++++++++++++++++++++\n");
    ConsolePrint("%s\n", message.c_str());
    ConsolePrint("+++++++++++++++++++++++++++\n");
    return RunConsole();
}

uint32_t CKestrixLoader::RunConsole()
{
    ResetConsoleState();
    m_history.fill({});
    ConsolePrint("\n*****************************************************************\n");
    ConsolePrint("*  Hey,  What's up?                                                *\n");
    ConsolePrint("*    this is new place, but it's not without its grace, type 'help'*\n");
    ConsolePrint("*    it could be a cult, but we left a way out, type 'exit'        *\n");
    ConsolePrint("********************************************************************\n\n");
    m_historyIndex = 0;
    for (;;)
    {
        std::string line;
        m_tokens.clear();
        ConsolePrint("vez? ");
        // End of input leaves the console as exit does: there is no one left
        // to type it.
        if (ReadLine(line, kConsoleLineSize) < 0)
        {
            return 0;
        }
        SplitLine(line);
        const std::string first = m_tokens.empty() ? "" : m_tokens[0];
        if (first == "help" || first == "HELP")
        {
            m_tokens.size() == 2 ? PrintCommandHelp() : PrintCommandList();
        }
        else if (first == "exit" || first == "quit")
        {
            return 0;
        }
        else
        {
            DispatchCommand();
        }
    }
}

uint32_t CKestrixLoader::DecodeKey(int character)
{
    if ((m_keyState & kKeyEscape) && (m_keyState & (kKeyBracket | kKeyEraseInSequence)))
    {
        m_keyState |= kKeyComplete;
        return static_cast<uint32_t>(character);
    }
    if (m_keyState & kKeyEscape)
    {
        if (character == kEraseLine)
        {
            m_keyState |= kKeyEraseInSequence;
        }
        else if (character == '[')
        {
            m_keyState |= kKeyBracket;
        }
        else
        {
            m_keyState &= ~0xFFu;
        }
        return 0;
    }
    if (character == kEscape)
    {
        m_keyState |= kKeyEscape;
    }
    return 0;
}

int CKestrixLoader::ReadLine(std::string& buffer, size_t size)
{
    const auto eraseShown = [this](size_t count)
    {
        for (size_t i = 0; i < count; ++i)
        {
            ConsolePrint("\b \b");
        }
    };
    ConsolePrint("%s", buffer.c_str());
    size_t p = buffer.size();
    size_t m = p;
    buffer.resize(size, '\0');
    const auto recall = [&]
    {
        const std::string& line = m_history[m_historyIndex];
        eraseShown(p);
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::copy(line.begin(), line.end(), buffer.begin());
        ConsolePrint("%s", line.c_str());
        p = m = line.size();
        m_keyState = 0;
    };
    for (;;)
    {
        int c = ReadConsoleKey();
        if (c == kConsoleEndOfInput)
        {
            buffer.resize(p);
            return -1;
        }
        const uint32_t key = DecodeKey(c);
        if (key == 'A' || key == 'B')
        {
            m_historyIndex = key == 'A' ? (m_historyIndex + kConsoleHistory - 1) % kConsoleHistory
                                        : (m_historyIndex + 1) % kConsoleHistory;
            recall();
            continue;
        }
        if (key != 0)
        {
            m_keyState = 0;
            if (key == 'C')
            {
                c = kTab;
            }
            else if (key == 'D')
            {
                c = kBackspace;
            }
            else
            {
                continue;
            }
        }
        if (c == kEraseLine)
        {
            eraseShown(p);
            p = 0;
        }
        else if (c == kBackspace || c == kDelete)
        {
            if (p > 0)
            {
                eraseShown(1);
                --p;
            }
        }
        else if (c == kTab)
        {
            for (; p < m; ++p)
            {
                ConsolePrint("%c", buffer[p]);
            }
        }
        else if (c == '\n' || c == '\r')
        {
            p = std::min(p, size - 1);
            buffer.resize(p);
            m_history[m_historyIndex] = buffer;
            m_historyIndex = (m_historyIndex + 1) % kConsoleHistory;
            return static_cast<int>(p);
        }
        else if (c == kEraseWord)
        {
            bool wordMet = false;
            while (p > 0)
            {
                if (!IsBlank(buffer[p - 1]))
                {
                    wordMet = true;
                }
                eraseShown(1);
                --p;
                if (wordMet && p < size - 1 && p > 0 && IsBlank(buffer[p - 1]))
                {
                    break;
                }
            }
        }
        else
        {
            const bool inSequence =
                (m_keyState & kKeyEscape) && (m_keyState & (kKeyBracket | kKeyEraseInSequence));
            if (!inSequence && c >= 0x20 && c <= 0x7E && p + 1 < size)
            {
                buffer[p++] = static_cast<char>(c);
                m = std::max(m, p);
            }
        }
    }
}

std::string CKestrixLoader::NextToken(const std::string& line, size_t& position)
{
    while (position < line.size() && IsBlank(line[position]))
    {
        ++position;
    }
    if (position >= line.size())
    {
        return {};
    }
    const size_t start = position;
    if (line[position] == '"')
    {
        const size_t close = line.find('"', position + 1);
        if (close == std::string::npos)
        {
            position = line.size();
            return line.substr(start) + '"';
        }
        position = close + 1;
        return line.substr(start, position - start);
    }
    while (position < line.size() && !IsBlank(line[position]))
    {
        ++position;
    }
    return line.substr(start, position - start);
}

void CKestrixLoader::SplitLine(const std::string& line)
{
    m_tokens.clear();
    size_t position = 0;
    while (m_tokens.size() < kConsoleTokens)
    {
        std::string token = NextToken(line, position);
        if (token.empty())
        {
            break;
        }
        // A slot holds 49 characters and its end mark: longer tokens are cut.
        token.resize(std::min(token.size(), kConsoleTokenSize - 1));
        m_tokens.push_back(std::move(token));
    }
}

uint32_t CKestrixLoader::ParseDigits(const std::string& text, uint32_t base)
{
    uint64_t value = 0;
    for (const char c : text)
    {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9')
        {
            digit = static_cast<uint32_t>(c - '0');
        }
        else if (c >= 'a' && c <= 'z')
        {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        }
        else if (c >= 'A' && c <= 'Z')
        {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        }
        else
        {
            break;
        }
        if (digit >= base)
        {
            break;
        }
        value = value * base + digit;
        if (value > UINT32_MAX)
        {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

uint32_t CKestrixLoader::ParseNumber(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
    {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
    {
        base = 16;
        i += 2;
    }
    else if (i < text.size() && text[i] == '0')
    {
        base = 8;
    }
    const uint32_t value = ParseDigits(text.substr(i), base);
    return negative ? 0u - value : value;
}

void CKestrixLoader::PrintCommandList()
{
    ConsolePrint("\n******************************\n");
    ConsolePrint("***** Available commands *****\n");
    ConsolePrint("******************************\n");
    for (size_t i = 0; i < kCommands.size(); ++i)
    {
        ConsolePrint(" %-19s", kCommands[i].name);
        if ((i + 1) % kNamesPerRow == 0)
        {
            ConsolePrint("\n");
        }
    }
    ConsolePrint("\n");
    ConsolePrint("Type \"help [cmd]\" for help on specific command.\n\n");
}

void CKestrixLoader::PrintCommandHelp()
{
    const std::string wanted = m_tokens.size() > 1 ? m_tokens[1] : "";
    bool found = false;
    for (const KestrixConsoleCommand& command : kCommands)
    {
        if (wanted != command.name)
        {
            continue;
        }
        found = true;
        if (command.help)
        {
            (this->*command.help)();
        }
        else
        {
            ConsolePrint(" No help is available for Command or Script [%s]\n", wanted.c_str());
        }
    }
    if (!found)
    {
        ConsolePrint(" [%s] is invalid Command or Script.\n", wanted.c_str());
    }
}

void CKestrixLoader::DispatchCommand()
{
    const std::string wanted = m_tokens.empty() ? "" : m_tokens[0];
    bool found = false;
    for (const KestrixConsoleCommand& command : kCommands)
    {
        if (wanted == command.name)
        {
            found = true;
            (this->*command.handler)();
        }
    }
    if (!found && !wanted.empty())
    {
        ConsolePrint(" %s - Unavailable command. Type \"help\" for supported commands.\n",
                     wanted.c_str());
    }
}

void CKestrixLoader::PrintHelpOf(const char* command)
{
    SplitLine(std::string("help ") + command);
    PrintCommandHelp();
}
