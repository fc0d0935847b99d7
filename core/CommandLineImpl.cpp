#include "core/CommandLine.h"
#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace
{
unsigned long ReadUnsigned(const std::string& text, int base)
{
    return std::strtoul(text.c_str(), nullptr, base);
}

class CCommandLineImpl : public CReferenceCountImpl, public ICommandLine
{
public:
    CCommandLineImpl(int rowCount, const OptionDescriptor* table, int argc, char** argv);
    ROMVISE_REFCOUNT_FORWARD

    bool HasError() override { return m_stopped; }
    const std::string& GetUnknownWord() override { return m_unknownWord; }
    bool IsSet(std::string name) override { return m_options.count(name) > 0; }
    std::string GetValue(std::string name, int occurrence, int index) override;
    void GetPCIAddress(std::string name, int occurrence, int index, PciAddress* address) override;
    bool GetRegisterSpec(std::string name, int occurrence, int index, RegisterSpec* spec) override;
    bool GetRegisterFieldSpec(std::string name, int occurrence, int index, TuneSpec* spec) override;
    bool GetValuePair(std::string name, int occurrence, int index, TuneSpec* spec) override;
    bool GetHexList(std::string name, int occurrence, const TuneSpec* spec, void* out) override;
    uint32_t GetValueDec(std::string name, int occurrence, int index) override
    {
        return static_cast<uint32_t>(ReadUnsigned(GetValue(name, occurrence, index), 10));
    }
    uint32_t GetValueHex(std::string name, int occurrence, int index) override
    {
        return static_cast<uint32_t>(ReadUnsigned(GetValue(name, occurrence, index), 16));
    }
    int GetOccurrenceCount(std::string name) override
    {
        return static_cast<int>(m_options.count(name));
    }
    bool RemoveOption(std::string name, int occurrence) override;
    void AddOption(std::string name, std::vector<std::string> values) override
    {
        // A multimap inserts equal keys after the existing ones.
        m_options.emplace(std::move(name), std::move(values));
    }
    int GetOptionCount() override { return static_cast<int>(m_options.size()); }
    const std::vector<std::string>& GetPlainArguments() override { return m_plainArguments; }
    const OptionMap& GetOptions() override { return m_options; }
    bool PrintUsage(std::ostream* out, bool paginate, int linesSoFar, std::string firstOption,
                    std::string lastOption) override;

private:
    void Parse(int argc, char** argv);
    bool IsOptionWord(const std::string& argument) const;
    void Stop(const std::string& argument);
    // The recorded values of one occurrence, or null when it does not exist.
    const std::vector<std::string>* FindOccurrence(const std::string& name, int occurrence) const;
    OptionMap::iterator FindOccurrenceIterator(const std::string& name, int occurrence);

    // What a typed reader works on: an absent option or occurrence is no
    // error (the record says "absent"), a missing value is.
    struct ReaderInput
    {
        enum Status
        {
            OptionAbsent,
            ValueMissing,
            Present
        } status;
        const std::string* text;
    };
    ReaderInput FindReaderInput(const std::string& name, int occurrence, int index) const;

    OptionMap m_options;
    bool m_stopped = false;
    std::string m_unknownWord;
    std::vector<std::string> m_plainArguments;
    std::vector<OptionDescriptor> m_descriptors;
    std::map<char, std::string> m_longNameByLetter;
    std::map<std::string, int> m_maxValuesByName;
};

CCommandLineImpl::CCommandLineImpl(int rowCount, const OptionDescriptor* table, int argc,
                                   char** argv)
{
    for (int row = 0; row < rowCount; ++row)
    {
        const OptionDescriptor& descriptor = table[row];
        m_descriptors.push_back(descriptor);
        // The first row that names a letter or a long name wins.
        if (descriptor.shortChar != ' ')
        {
            m_longNameByLetter.emplace(static_cast<char>(descriptor.shortChar),
                                       descriptor.longName);
        }
        m_maxValuesByName.emplace(descriptor.longName, descriptor.maxValues);
    }
    Parse(argc, argv);
}

// '-' starts an option word. So does '/' followed by one letter of the table,
// with the letter's value written on (when it takes one); any other word that
// begins with '/', a lone '/' among them, is a path.
bool CCommandLineImpl::IsOptionWord(const std::string& argument) const
{
    if (argument.empty())
    {
        return false;
    }
    if (argument[0] == '-')
    {
        return true;
    }
    if (argument[0] != '/' || argument.size() < 2)
    {
        return false;
    }
    const auto letter = m_longNameByLetter.find(argument[1]);
    return letter != m_longNameByLetter.end() &&
           (argument.size() == 2 || m_maxValuesByName.at(letter->second) > 0);
}

void CCommandLineImpl::Stop(const std::string& argument)
{
    m_stopped = true;
    m_unknownWord = argument;
}

void CCommandLineImpl::Parse(int argc, char** argv)
{
    for (int i = 1; i < argc && !m_stopped; ++i)
    {
        std::string argument = argv[i];
        if (!IsOptionWord(argument))
        {
            m_plainArguments.push_back(argument);
            continue;
        }
        if (argument.size() == 1)
        {
            Stop(argument);
            break;
        }

        std::string name;
        size_t position = 0;
        if (argument.compare(0, 2, "--") == 0)
        {
            const size_t equals = argument.find('=', 2);
            name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            position = equals == std::string::npos ? argument.size() : equals + 1;
        }
        else
        {
            const auto letter = m_longNameByLetter.find(argument[1]);
            if (letter == m_longNameByLetter.end())
            {
                Stop(argument);
                break;
            }
            name = letter->second;
            position = 2;
        }

        const auto maxValues = m_maxValuesByName.find(name);
        if (maxValues == m_maxValuesByName.end())
        {
            Stop(argument);
            break;
        }

        // Collect values from this argument and, when it runs out, from the
        // following ones unless they begin with a dash.
        std::vector<std::string> values;
        bool atStartOfNext = false;
        while (static_cast<int>(values.size()) < maxValues->second)
        {
            if (position >= argument.size() && !atStartOfNext)
            {
                if (i + 1 < argc && argv[i + 1][0] != '-')
                {
                    argument = argv[++i];
                    position = 0;
                    atStartOfNext = true;
                    continue;
                }
                break;
            }
            atStartOfNext = false;
            const size_t comma = argument.find(',', position);
            if (comma == std::string::npos)
            {
                values.push_back(argument.substr(position));
                position = argument.size();
            }
            else
            {
                values.push_back(argument.substr(position, comma - position));
                position = comma + 1;
            }
        }
        m_options.emplace(name, std::move(values));
    }
}

OptionMap::iterator CCommandLineImpl::FindOccurrenceIterator(const std::string& name,
                                                             int occurrence)
{
    auto [it, end] = m_options.equal_range(name);
    for (int skipped = 0; it != end && skipped < occurrence; ++skipped)
    {
        ++it;
    }
    return (occurrence < 0 || it == end) ? m_options.end() : it;
}

const std::vector<std::string>* CCommandLineImpl::FindOccurrence(const std::string& name,
                                                                 int occurrence) const
{
    // The search changes nothing; it shares the stepping of the mutable one.
    auto* self = const_cast<CCommandLineImpl*>(this);
    const auto it = self->FindOccurrenceIterator(name, occurrence);
    return it == self->m_options.end() ? nullptr : &it->second;
}

CCommandLineImpl::ReaderInput CCommandLineImpl::FindReaderInput(const std::string& name,
                                                                int occurrence, int index) const
{
    const std::vector<std::string>* values = FindOccurrence(name, occurrence);
    if (!values)
    {
        return {ReaderInput::OptionAbsent, nullptr};
    }
    if (index < 0 || static_cast<size_t>(index) >= values->size())
    {
        return {ReaderInput::ValueMissing, nullptr};
    }
    return {ReaderInput::Present, &(*values)[index]};
}

std::string CCommandLineImpl::GetValue(std::string name, int occurrence, int index)
{
    const std::vector<std::string>* values = FindOccurrence(name, occurrence);
    if (!values || index < 0 || static_cast<size_t>(index) >= values->size())
    {
        return {};
    }
    return (*values)[index];
}

bool CCommandLineImpl::RemoveOption(std::string name, int occurrence)
{
    const auto it = FindOccurrenceIterator(name, occurrence);
    if (it == m_options.end())
    {
        return false;
    }
    m_options.erase(it);
    return true;
}

void CCommandLineImpl::GetPCIAddress(std::string name, int occurrence, int index,
                                     PciAddress* address)
{
    PciAddress result{-1, -1, -1, -1};
    const std::string value = GetValue(name, occurrence, index);

    auto readComponent = [](const std::string& text, long limit, const char* error)
    {
        const std::optional<uint32_t> component =
            ReadWholeNumber(text, 16, static_cast<uint32_t>(limit));
        if (!component)
        {
            throw std::runtime_error(error);
        }
        return static_cast<int>(*component);
    };
    auto readDeviceAndFunction = [&](const std::string& text)
    {
        std::vector<std::string> parts;
        SplitString(text, '.', parts);
        if (parts.empty() && !text.empty())
        {
            result.device = readComponent(text, 31, " Invalid device number");
        }
        else if (parts.size() == 2)
        {
            result.device = readComponent(parts[0], 31, " Invalid device number");
            result.function = readComponent(parts[1], 7, " Invalid function number");
        }
    };

    std::vector<std::string> parts;
    SplitString(value, ':', parts);
    if (parts.empty() && !value.empty())
    {
        result.segment = 0;
        result.bus = readComponent(value, 0xFF, " Invalid PCI bus number");
    }
    else if (parts.size() >= 2)
    {
        result.segment = readComponent(parts[0], 0xFFFF, " Invalid PCI segment number");
        result.bus = readComponent(parts[1], 0xFF, " Invalid PCI bus number");
        if (parts.size() == 3)
        {
            readDeviceAndFunction(parts[2]);
        }
    }
    if (address)
    {
        *address = result;
    }
}

namespace
{
// The bytes a register width letter stands for: B, W or D in either case.
uint16_t WidthOfLetter(char letter)
{
    switch (letter)
    {
    case 'B':
    case 'b':
        return 1;
    case 'W':
    case 'w':
        return 2;
    case 'D':
    case 'd':
        return 4;
    default:
        return 0;
    }
}

// REG.W: the register offset and the width letter. The offset must be
// aligned to the width: rounding it down would show one register and write
// another.
bool ReadOffsetAndWidth(const std::string& registerText, RegisterSpec& spec)
{
    std::vector<std::string> parts;
    SplitString(registerText, '.', parts);
    // The width is the first letter after the '.', so "3C.Byte" reads a byte.
    if (parts.size() != 2 || parts[1].empty())
    {
        return false;
    }
    const uint16_t width = WidthOfLetter(parts[1][0]);
    if (width == 0)
    {
        return false;
    }
    const std::optional<uint32_t> offset = ReadWholeNumber(parts[0], 16, 0xFFF);
    if (!offset || *offset % width != 0)
    {
        return false;
    }
    spec.width = width;
    spec.offset = static_cast<uint16_t>(*offset);
    return true;
}

// VALUE or VALUE:MASK after the '='; a value or mask wider than the
// register is refused, not cut.
bool ReadValueAndMask(const std::string& text, RegisterSpec& spec)
{
    const uint32_t widthMask = spec.width == 1 ? 0xFF : (spec.width == 2 ? 0xFFFF : 0xFFFFFFFF);
    std::vector<std::string> valueAndMask;
    SplitString(text, ':', valueAndMask);
    if (valueAndMask.empty())
    {
        valueAndMask.push_back(text);
    }
    else if (valueAndMask.size() > 2)
    {
        return false;
    }
    const std::optional<uint32_t> value = ReadWholeNumber(valueAndMask[0], 16, widthMask);
    const std::optional<uint32_t> mask =
        valueAndMask.size() == 2 ? ReadWholeNumber(valueAndMask[1], 16, widthMask) : widthMask;
    if (!value || !mask)
    {
        return false;
    }
    spec.value = *value;
    spec.mask = *mask;
    spec.access = 1;
    return true;
}
} // namespace

bool CCommandLineImpl::GetRegisterSpec(std::string name, int occurrence, int index,
                                       RegisterSpec* spec)
{
    *spec = {};
    const ReaderInput input = FindReaderInput(name, occurrence, index);
    if (input.status != ReaderInput::Present)
    {
        return input.status == ReaderInput::OptionAbsent;
    }
    const std::string& text = *input.text;
    std::vector<std::string> sides;
    SplitString(text, '=', sides);
    if (sides.size() != 2)
    {
        spec->access = -1;
        return ReadOffsetAndWidth(text, *spec);
    }
    return ReadOffsetAndWidth(sides[0], *spec) && ReadValueAndMask(sides[1], *spec);
}

bool CCommandLineImpl::GetRegisterFieldSpec(std::string name, int occurrence, int index,
                                            TuneSpec* spec)
{
    *spec = {};
    const ReaderInput input = FindReaderInput(name, occurrence, index);
    if (input.status != ReaderInput::Present)
    {
        return input.status == ReaderInput::OptionAbsent;
    }
    const std::string& text = *input.text;
    spec->kind = TuneSpec::Assign;

    std::vector<std::string> sides;
    SplitString(text, '=', sides);
    if (sides.size() != 2)
    {
        spec->kind = TuneSpec::Read;
        spec->msb = spec->lsb = 255;
        spec->reg = static_cast<uint32_t>(ReadUnsigned(text, 16));
        return spec->reg != 0;
    }

    // REG+=VALUE and REG-=VALUE: one sign, at the end of the left side.
    std::string fieldText = sides[0];
    for (const auto& [sign, kind] : {std::pair{'+', TuneSpec::Add}, {'-', TuneSpec::Subtract}})
    {
        if (fieldText.find(sign) == std::string::npos)
        {
            continue;
        }
        const char other = sign == '+' ? '-' : '+';
        if (fieldText.back() != sign || std::count(fieldText.begin(), fieldText.end(), sign) != 1 ||
            fieldText.find(other) != std::string::npos)
        {
            return false;
        }
        spec->kind = kind;
        fieldText.pop_back();
        break;
    }

    std::vector<std::string> bracket;
    SplitString(fieldText, '[', bracket);
    if (bracket.size() == 2)
    {
        std::vector<std::string> msbAndRest;
        std::vector<std::string> lsbAndEnd;
        if (bracket[1].empty())
        {
            return false;
        }
        SplitString(bracket[1], ':', msbAndRest);
        if (msbAndRest.size() != 2 || msbAndRest[1].empty())
        {
            return false;
        }
        SplitString(msbAndRest[1], ']', lsbAndEnd);
        if (lsbAndEnd.size() != 2)
        {
            return false;
        }
        // Bit numbers are range-checked whole, before they are stored in 8 bits.
        const unsigned long msb = ReadUnsigned(msbAndRest[0], 10);
        const unsigned long lsb = ReadUnsigned(lsbAndEnd[0], 10);
        if (msb > 31 || lsb > 31 || msb < lsb)
        {
            return false;
        }
        spec->msb = static_cast<uint8_t>(msb);
        spec->lsb = static_cast<uint8_t>(lsb);
        spec->reg = static_cast<uint32_t>(ReadUnsigned(bracket[0], 16));
    }
    else
    {
        spec->msb = spec->lsb = 255;
        spec->reg = static_cast<uint32_t>(ReadUnsigned(fieldText, 16));
    }
    spec->value = static_cast<uint32_t>(ReadUnsigned(sides[1], 16));
    return spec->reg != 0;
}

bool CCommandLineImpl::GetValuePair(std::string name, int occurrence, int index, TuneSpec* spec)
{
    *spec = {};
    const std::vector<std::string>* values = FindOccurrence(name, occurrence);
    if (!values || index < 0 || static_cast<size_t>(index) >= values->size())
    {
        return false;
    }
    const std::string& first = (*values)[index];
    // The identifier is range-checked whole, before it is stored in 8 bits.
    const unsigned long id = ReadUnsigned(first, 10);
    if (id > 0xFF)
    {
        return false;
    }
    spec->id = static_cast<uint8_t>(id);
    const size_t colon = first.find(':');
    const unsigned long width =
        colon == std::string::npos ? 4 : ReadUnsigned(first.substr(colon + 1), 10);
    if (values->size() < 2)
    {
        spec->kind = TuneSpec::DataIdOnly;
        return true;
    }
    const unsigned long length = (values->size() - 1) * width;
    if (length > 0xFFFF)
    {
        return false;
    }
    spec->kind = TuneSpec::DataIdWithData;
    spec->dataLength = static_cast<uint16_t>(length);
    return true;
}

bool CCommandLineImpl::GetHexList(std::string name, int occurrence, const TuneSpec* spec, void* out)
{
    const std::vector<std::string>* values = FindOccurrence(name, occurrence);
    // Without data values there is no element size to derive.
    if (!values || values->size() < 2)
    {
        return false;
    }
    const size_t count = values->size() - 1;
    const size_t elementSize = spec->dataLength / count;
    auto* cursor = static_cast<uint8_t*>(out);
    for (size_t i = 1; i <= count; ++i)
    {
        const uint32_t value = static_cast<uint32_t>(ReadUnsigned((*values)[i], 16));
        switch (elementSize)
        {
        case 1:
        {
            const auto narrow = static_cast<uint8_t>(value);
            std::memcpy(cursor, &narrow, 1);
            break;
        }
        case 2:
        {
            const auto narrow = static_cast<uint16_t>(value);
            std::memcpy(cursor, &narrow, 2);
            break;
        }
        case 4:
            std::memcpy(cursor, &value, 4);
            break;
        default:
            return false;
        }
        cursor += elementSize;
    }
    return true;
}

bool CCommandLineImpl::PrintUsage(std::ostream* out, bool paginate, int linesSoFar,
                                  std::string firstOption, std::string lastOption)
{
    size_t maxName = 0;
    size_t maxArg = 0;
    for (const OptionDescriptor& descriptor : m_descriptors)
    {
        if (*descriptor.helpText)
        {
            maxName = std::max(maxName, std::strlen(descriptor.longName));
            maxArg = std::max(maxArg, std::strlen(descriptor.argHelp));
        }
    }
    const std::string indent(maxName + maxArg + 4, ' ');

    auto padded = [](const std::string& text, size_t width)
    { return text + std::string(text.size() < width ? width - text.size() : 0, ' '); };

    int lines = linesSoFar;
    bool started = firstOption.empty();
    for (const OptionDescriptor& descriptor : m_descriptors)
    {
        if (!started)
        {
            if (firstOption != descriptor.longName)
            {
                continue;
            }
            started = true;
        }
        const std::string help = descriptor.helpText;
        if (!help.empty())
        {
            std::string body;
            int lineCount = 1;
            for (size_t i = 0; i < help.size(); ++i)
            {
                body.push_back(help[i]);
                if (help[i] != '\n')
                {
                    continue;
                }
                ++lineCount;
                if (i + 1 < help.size() && help[i + 1] == '<')
                {
                    ++i; // a continuation line flush left
                }
                else
                {
                    body += indent;
                }
            }
            lines += lineCount;
            if (paginate && lines > 22)
            {
                std::cout << "Press 'Enter' to continue, or 'Q' to quit." << std::endl;
                const int key = GetCrossPlatform()->GetKey();
                lines = 0;
                if (key == 'Q' || key == 'q')
                {
                    return true;
                }
            }
            const char letter =
                descriptor.shortChar == 0 ? ' ' : static_cast<char>(descriptor.shortChar);
            *out << padded(descriptor.longName, maxName) << ' ' << letter << ' '
                 << padded(descriptor.argHelp, maxArg) << ' ' << body << '\n';
            out->flush();
        }
        if (!lastOption.empty() && lastOption == descriptor.longName)
        {
            break;
        }
    }
    return false;
}

CSingletonHolder<ICommandLine>& CommandLineHolder()
{
    static CSingletonHolder<ICommandLine> holder(ESingletonSlot::CommandLine);
    return holder;
}
} // namespace

std::optional<uint32_t> ReadWholeNumber(const std::string& text, int base, uint32_t limit)
{
    size_t start = 0;
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        start = 2;
    }
    if (start == text.size())
    {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i)
    {
        const char c = text[i];
        int digit = 0;
        if (c >= '0' && c <= '9')
        {
            digit = c - '0';
        }
        else if (base == 16 && c >= 'a' && c <= 'f')
        {
            digit = c - 'a' + 10;
        }
        else if (base == 16 && c >= 'A' && c <= 'F')
        {
            digit = c - 'A' + 10;
        }
        else
        {
            return std::nullopt;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit)
        {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

ICommandLine* ICommandLine::Create(int rowCount, const OptionDescriptor* table, int argc,
                                   char** argv)
{
    return CommandLineHolder().Set(new CCommandLineImpl(rowCount, table, argc, argv));
}

ICommandLine* ICommandLine::GetInstance()
{
    ICommandLine* instance = CommandLineHolder().get();
    if (!instance)
    {
        throw std::runtime_error("Error: No instance with CommandLine interface");
    }
    return instance;
}
