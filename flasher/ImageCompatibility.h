#pragma once
// Whether a firmware image fits an adapter, and how its version relates to
// the firmware already there: a mask of the reasons it does not fit, 0 when
// it does. Callers decide which reasons they tolerate.

#include "flasher/AdapterSession.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"
#include "image/IROMMeld.h"
#include "image/IVFieldTable.h"

#include <cstdint>
#include <optional>
#include <functional>
#include <string>
#include <vector>

enum ImageMismatchFlags : uint32_t
{
    kMismatchDeviceId = 0x01,
    kMismatchSubsystemId = 0x02,
    kMismatchBoardId = 0x04,
    kMismatchVersionOrder = 0x08,
    kMismatchGpuPosition = 0x10,
    kMismatchSelection = 0x20,
    kMismatchVendorId = 0x40,
    kMismatchGpuDeviceId = 0x80,
    kMismatchSameVersion = 0x200,
};


// An ID the caller accepts in place of the image's; kNoAcceptedId accepts
// nothing extra.
constexpr uint16_t kNoAcceptedId = 0xFFFF;

struct CompatibilityRequest
{
    bool blank = false; // the adapter's EEPROM is erased
    bool skipZeroBoard = false;
    uint16_t acceptedSubsystemVendorId = kNoAcceptedId;
    uint16_t acceptedSubsystemDeviceId = kNoAcceptedId;
    uint16_t acceptedBoardId = kNoAcceptedId;
    // The engineering options that widen the check (TakeEngineSettings).
    bool relaxDeviceId = false;
    std::optional<uint16_t> altDeviceId;
    bool ifrVerifyOnly = false;
};

// The request's options as the engine's settings give them.
void TakeEngineSettings(CompatibilityRequest& request, const EngineSettings& settings);

// What the check compares, read from the adapter, the new image, the head of
// the adapter's current firmware and the command line.
struct CompatibilityFacts
{
    uint16_t adapterVendorId = 0;
    uint16_t adapterDeviceId = 0;
    uint16_t adapterRegisterDeviceId = 0;
    uint16_t adapterSubsystemVendorId = 0;
    uint16_t adapterSubsystemDeviceId = 0;
    uint32_t adapterHierarchyIndex = 0;
    // Applied to both sides of every device-ID comparison.
    uint16_t deviceIdMask = 0xFFFF;

    uint16_t imageVendorId = 0;
    uint16_t imageGpuDeviceId = 0;
    // The image's device ID, its alternate one, the option's and its list.
    std::vector<uint16_t> imageDeviceIds;
    // Asked only when no device ID matches: the image carries the adapter's
    // other device ID.
    std::function<bool()> switchesDeviceId;
    uint16_t imageSubsystemVendorId = 0;
    uint16_t imageSubsystemDeviceId = 0;
    // The subsystem IDs are not compared for an init-from-ROM verification.
    bool subsystemWaived = false;
    uint16_t imageBoardId = 0;
    uint16_t imageAlternateBoardId = 0;
    uint8_t imageHierarchyId = 0;
    std::string imageVersion;

    uint16_t currentBoardId = 0;
    uint8_t currentHierarchyId = 0;
    std::string currentVersion;

    // A selection criterion of the image rejects the adapter.
    bool selectionRejects = false;
};

// The mask for the facts; writes the two parsed versions to the log.
uint32_t ComputeImageMismatch(const CompatibilityFacts& facts, const CompatibilityRequest& request,
                              CLog* log);

// 0xFFFF, or the device-ID bits the adapter's straps may not change when
// forced, asked by the image or by the option "relaxdevid" (`relax`).
uint16_t GetDeviceIdMask(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image, bool force,
                         bool relax);

// The mask of the new image against the adapter and the head of its current
// firmware. std::runtime_error for a selection kind this program does not
// know.
uint32_t CheckImageCompatibility(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> newImage,
                                 CRefPtr<IROMImage> current, const SelectionCriteria* selection,
                                 const CompatibilityRequest& request, CLog* log);
