// The list of the engineering command families, and the tables derived from
// their rows: the option table in the help screen's order, the chain by rank,
// the usage screen page by page.

#include "app/engineering/EngineeringCommands.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace
{
template <typename Row, typename Part> std::vector<Row> Gathered(Part part)
{
    std::vector<Row> rows;
    for (const CommandFamily& family : EngineeringFamilies())
    {
        const auto familyRows = part(family);
        rows.insert(rows.end(), familyRows.begin(), familyRows.end());
    }
    return rows;
}

std::vector<OptionDescriptor> DeriveOptions()
{
    std::vector<WordRow> words =
        Gathered<WordRow>([](const CommandFamily& family) { return family.words; });
    std::ranges::stable_sort(words, {}, &WordRow::position);
    std::vector<OptionDescriptor> options;
    for (const WordRow& row : words)
    {
        options.push_back({row.word, ' ', row.arity, row.valueHelp, row.help});
    }
    return options;
}

struct DerivedChain
{
    std::vector<ChainRow> named;
    const ChainRow* flash = nullptr;
};

DerivedChain DeriveChain()
{
    DerivedChain chain;
    for (const CommandFamily& family : EngineeringFamilies())
    {
        for (const ChainRow& row : family.chain)
        {
            if (!row.words.empty())
            {
                chain.named.push_back(row);
            }
            else if (chain.flash == nullptr)
            {
                chain.flash = &row;
            }
            else
            {
                throw std::logic_error("Two chain rows without a word.");
            }
        }
    }
    if (chain.flash == nullptr)
    {
        throw std::logic_error("No chain row flashes the file.");
    }
    std::ranges::stable_sort(chain.named, {}, &ChainRow::rank);
    return chain;
}

const DerivedChain& Chain()
{
    static const DerivedChain chain = DeriveChain();
    return chain;
}

std::vector<UsageRow> DeriveUsage()
{
    std::vector<UsageRow> usage =
        Gathered<UsageRow>([](const CommandFamily& family) { return family.usage; });
    std::ranges::stable_sort(
        usage, [](const UsageRow& left, const UsageRow& right)
        { return std::pair(left.page, left.position) < std::pair(right.page, right.position); });
    return usage;
}
} // namespace

std::span<const CommandFamily> EngineeringFamilies()
{
    static const std::array families = {
        RunWordFamily(),
        InformationCommandFamily(),
        GmacCommandFamily(),
        SaveCommandFamily(),
        BoardDataCommandFamily(),
        VarnexStoreCommandFamily(),
        VarnexRepairCommandFamily(),
        PowerPolicyCommandFamily(),
        VarnexCommandFamily(),
        FlashCommandFamily(),
        EEPROMCommandFamily(),
        UefiCommandFamily(),
        MicrocodeCommandFamily(),
    };
    return families;
}

std::span<const OptionDescriptor> EngineeringOptions()
{
    static const std::vector<OptionDescriptor> options = DeriveOptions();
    return options;
}

std::span<const ChainRow> EngineeringChain()
{
    return Chain().named;
}

const ChainRow& DefaultFlashRow()
{
    return *Chain().flash;
}

std::span<const UsageRow> EngineeringUsage()
{
    static const std::vector<UsageRow> usage = DeriveUsage();
    return usage;
}

const EngineeringCommandSet& EngineeringCommands()
{
    static const EngineeringCommandSet commands{EngineeringOptions(), EngineeringUsage(),
                                                RunNamedCommand};
    return commands;
}
