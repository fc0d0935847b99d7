// CKestrixLoader: the debug console's shell. A line editor with a 30-line
// history reads keys through the operating-system layer; the line is split
// into at most 20 tokens of at most 49 characters, and its first token names
// a command of the table below.

#include "eeprom/KestrixLoader.h"

#include "core/platform/PlatformServices.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <optional>

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

// The line being edited: the characters live in buffer (size bytes, the
// last kept for the end); cursor is where the next character goes, typed how
// far the line has been typed, which Tab shows again.
struct CKestrixLoader::ConsoleLine
{
    std::string& buffer;
    size_t size;
    size_t cursor;
    size_t typed;
};

int CKestrixLoader::ReadLine(std::string& buffer, size_t size)
{
    ConsolePrint("%s", buffer.c_str());
    ConsoleLine line{buffer, size, buffer.size(), buffer.size()};
    buffer.resize(size, '\0');
    for (;;)
    {
        const int c = ReadConsoleKey();
        if (c == kConsoleEndOfInput)
        {
            buffer.resize(line.cursor);
            return -1;
        }
        const std::optional<int> key = TranslateKey(line, c);
        if (!key)
        {
            continue;
        }
        if (*key == '\n' || *key == '\r')
        {
            return FinishLine(line);
        }
        EditLine(line, *key);
    }
}

// The editing key a console key stands for. The last key of an arrow
// sequence recalls the history (up, down) or moves along the line (right as
// Tab, left as Backspace); none when the key is used up.
std::optional<int> CKestrixLoader::TranslateKey(ConsoleLine& line, int c)
{
    const uint32_t key = DecodeKey(c);
    if (key == 'A' || key == 'B')
    {
        m_historyIndex = key == 'A' ? (m_historyIndex + kConsoleHistory - 1) % kConsoleHistory
                                    : (m_historyIndex + 1) % kConsoleHistory;
        RecallHistory(line);
        return std::nullopt;
    }
    if (key == 0)
    {
        return c;
    }
    m_keyState = 0;
    if (key == 'C')
    {
        return kTab;
    }
    if (key == 'D')
    {
        return kBackspace;
    }
    return std::nullopt;
}

void CKestrixLoader::RecallHistory(ConsoleLine& line)
{
    const std::string& recalled = m_history[m_historyIndex];
    EraseShown(line.cursor);
    std::fill(line.buffer.begin(), line.buffer.end(), '\0');
    std::copy(recalled.begin(), recalled.end(), line.buffer.begin());
    ConsolePrint("%s", recalled.c_str());
    line.cursor = line.typed = recalled.size();
    m_keyState = 0;
}

void CKestrixLoader::EditLine(ConsoleLine& line, int c)
{
    if (c == kEraseLine)
    {
        EraseShown(line.cursor);
        line.cursor = 0;
    }
    else if (c == kBackspace || c == kDelete)
    {
        if (line.cursor > 0)
        {
            EraseShown(1);
            --line.cursor;
        }
    }
    else if (c == kTab)
    {
        for (; line.cursor < line.typed; ++line.cursor)
        {
            ConsolePrint("%c", line.buffer[line.cursor]);
        }
    }
    else if (c == kEraseWord)
    {
        EraseWord(line);
    }
    else
    {
        TypeCharacter(line, c);
    }
}

// Erases back over blanks, then over the word before them.
void CKestrixLoader::EraseWord(ConsoleLine& line)
{
    bool wordMet = false;
    while (line.cursor > 0)
    {
        if (!IsBlank(line.buffer[line.cursor - 1]))
        {
            wordMet = true;
        }
        EraseShown(1);
        --line.cursor;
        if (wordMet && line.cursor < line.size - 1 && line.cursor > 0 &&
            IsBlank(line.buffer[line.cursor - 1]))
        {
            break;
        }
    }
}

// A printable key is taken while the line has room; keys inside an escape
// sequence are not text.
void CKestrixLoader::TypeCharacter(ConsoleLine& line, int c)
{
    const bool inSequence =
        (m_keyState & kKeyEscape) && (m_keyState & (kKeyBracket | kKeyEraseInSequence));
    if (!inSequence && c >= 0x20 && c <= 0x7E && line.cursor + 1 < line.size)
    {
        line.buffer[line.cursor++] = static_cast<char>(c);
        line.typed = std::max(line.typed, line.cursor);
    }
}

// Ends the line at the cursor and keeps it in the history.
int CKestrixLoader::FinishLine(ConsoleLine& line)
{
    line.cursor = std::min(line.cursor, line.size - 1);
    line.buffer.resize(line.cursor);
    m_history[m_historyIndex] = line.buffer;
    m_historyIndex = (m_historyIndex + 1) % kConsoleHistory;
    return static_cast<int>(line.cursor);
}

void CKestrixLoader::EraseShown(size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        ConsolePrint("\b \b");
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
