// Loading a programmed image's straps into the GPU.

#include "flasher/StrapRefresh.h"

#include "core/TextHelpers.h"

#include <cstdint>
#include <sstream>

namespace
{
// Where each strap word sits in the image, the register it goes to, and its
// label in the log line.
struct StrapRow
{
    int32_t imageOffset;
    uint32_t reg;
    const char* label;
};
constexpr StrapRow kStrapRows[] = {
    {0x54, 0x88040, ":SSID:0x"}, {0x58, 0x101004, ":1:0x"}, {0x5C, 0x101008, ":2:0x"},
    {0x60, 0x101010, ":4:0x"},   {0x64, 0x101014, ":5:0x"},
};
constexpr uint32_t kStrapClearRegisters[] = {0x101000, 0x10100C};
} // namespace

void RefreshStraps(IDisplayAdapter& adapter, IROMImage& programmed, CLog* log)
{
    // Only a GPU keeps its straps in the EEPROM; on a bridge these offsets
    // would land in the bridge's own window.
    if (!adapter.HasEEPROMStraps())
    {
        return;
    }
    std::ostringstream line;
    line << "Refreshing straps";
    for (const StrapRow& row : kStrapRows)
    {
        const uint32_t value = programmed.GetDword(row.imageOffset);
        adapter.Write32(row.reg, value);
        line << row.label << ToHex(value, 8);
    }
    LogLine(log, 3, line.str());
    for (const uint32_t reg : kStrapClearRegisters)
    {
        adapter.Write32(reg, 0);
    }
}
