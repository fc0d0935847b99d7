// The results table that closes a flash: one row per adapter, whether an
// image matched it and whether it was programmed, then what the run changed.

#include "app/engineering/FlashCommands.h"

#include "core/TextHelpers.h"
#include "core/UserInterface.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace
{
const char* const kMarked = "   *   ";
const char* const kUnmarked = "       ";

// Two adapters are one row only when their whole PCI address is the same:
// two adapters on one bus each keep their own outcome.
bool SameAdapter(const FlashResult& a, const FlashResult& b)
{
    const CRefPtr<IDevice> first = a.adapter->GetDevice();
    const CRefPtr<IDevice> second = b.adapter->GetDevice();
    return first->GetSegment() == second->GetSegment() && first->GetBus() == second->GetBus() &&
           first->GetDeviceNumber() == second->GetDeviceNumber() &&
           first->GetFunctionNumber() == second->GetFunctionNumber();
}

void AddUnlessListed(FlashResultList& list, const FlashResult& row)
{
    if (std::none_of(list.begin(), list.end(),
                     [&](const FlashResult& kept) { return SameAdapter(kept, row); }))
    {
        list.push_back(row);
    }
}

// The first matched row of each adapter, then the first row of the others.
FlashResultList OneRowPerAdapter(const FlashResultList& rows)
{
    FlashResultList kept;
    for (const FlashResult& row : rows)
    {
        if (row.matched)
        {
            AddUnlessListed(kept, row);
        }
    }
    for (const FlashResult& row : rows)
    {
        AddUnlessListed(kept, row);
    }
    return kept;
}

void WriteRow(std::ostream& text, const FlashResult& row, bool detailed)
{
    IDisplayAdapter& adapter = *row.adapter;
    text << "  <" << FormatNumber(static_cast<uint32_t>(row.index), 2) << ">  " << std::setw(8)
         << (row.matched ? kMarked : kUnmarked) << std::setw(9)
         << (row.flashed ? kMarked : kUnmarked) << std::setw(16) << adapter.GetName();
    if (detailed)
    {
        const CRefPtr<IDevice> device = adapter.GetDevice();
        text << std::right << std::uppercase << std::hex << std::setfill('0') << " ("
             << std::setw(4) << adapter.GetVendorID() << "," << std::setw(4)
             << adapter.GetDeviceID() << "," << std::setw(4) << adapter.GetSubsystemVendorID()
             << "," << std::setw(4) << adapter.GetSubsystemDeviceID() << ") S:" << std::setw(2)
             << device->GetSegment() << ", B:" << std::setw(2) << unsigned{device->GetBus()}
             << std::dec << std::setfill(' ') << std::left;
    }
    text << "\n";
}
} // namespace

std::string FormatResults(FlashResultList& rows, bool detailed, ResultsClosing closing)
{
    rows = OneRowPerAdapter(rows);
    std::ostringstream text;
    text << std::left;
    if (!rows.empty())
    {
        text << "\nResults:\n Index | Match | Flash | Name \n";
        for (const FlashResult& row : rows)
        {
            WriteRow(text, row, detailed);
        }
    }
    const bool flashed =
        std::any_of(rows.begin(), rows.end(), [](const FlashResult& row) { return row.flashed; });
    if (flashed)
    {
        text << "\nFirmware update process is completed.\n"
                "A reboot is required for the update to take effect.\n";
    }
    else if (closing == ResultsClosing::ByOutcome)
    {
        text << "Nothing changed!\n";
    }
    std::string shown = text.str();
    if (!shown.empty())
    {
        shown.pop_back(); // the message adds its own line end
    }
    return shown;
}

void PrintResults(FlashResultList& rows, bool detailed, ResultsClosing closing)
{
    const std::string text = FormatResults(rows, detailed, closing);
    if (!text.empty())
    {
        GetUserInterface()->ShowMessage(1, text);
    }
}
