#pragma once
// The flash of a firmware file into the adapters it fits: the result rows it
// collects, the closing results table, and the words that explain why an
// image does not fit an adapter.

#include "core/Log.h"
#include "core/RefCount.h"
#include "eeprom/IEEPROM.h"
#include "flasher/AdapterHead.h"
#include "flasher/AdapterSession.h"
#include "flasher/IUpdateJournal.h"
#include "flasher/ImageCompatibility.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"
#include "image/IROMMeld.h"

#include <cstdint>
#include <string>
#include <vector>

struct EngineeringValues;

// One adapter outcome of a flash: `index` is the adapter's position in the
// command's adapter list.
struct FlashResult
{
    int32_t index = 0;
    CRefPtr<IDisplayAdapter> adapter;
    bool matched = false;
    bool flashed = false;
};
using FlashResultList = std::vector<FlashResult>;

// How the table closes: by what was programmed, or, after a programming that
// failed once it had begun, with no claim (the chip may be partly written).
enum class ResultsClosing
{
    ByOutcome,
    NoClaim,
};

// The rows reduced to one per adapter (the first matched row, else the
// first), matched ones first; then the table and its closing, shown as one
// message. `rows` is replaced by the reduced list.
std::string FormatResults(FlashResultList& rows, bool detailed, ResultsClosing closing);
void PrintResults(FlashResultList& rows, bool detailed,
                  ResultsClosing closing = ResultsClosing::ByOutcome);

// Warnings, at log level 4, for each reason of the mismatch mask that sets a
// value of the image beside the adapter's.
void ReportImageMismatch(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                         CRefPtr<IROMImage> current, const SelectionCriteria* selection,
                         const CompatibilityRequest& request, uint32_t mask, CLog* log);

// The adapter's session for a command (display driver off, the adapter
// selected, its EEPROM with a Kestrix loader of `engineType` on a secure part,
// the update record claimed as `use` asks). Throws for a part no driver
// serves.
CRefPtr<IAdapterSession> OpenAdapterSession(EngineeringValues& values,
                                            CRefPtr<IDisplayAdapter> adapter, uint32_t engineType,
                                            bool detailedLine, bool loaderVerbose, AdapterUse use);
