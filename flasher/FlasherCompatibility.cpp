// The compatibility check of a firmware image against an adapter.

#include "core/FirmwareVersion.h"
#include "flasher/ImageCompatibility.h"

#include <stdexcept>

namespace
{
// Positions on a multi-GPU board: hierarchy IDs 2 to 19 name the adapter at
// index ID - 1.
constexpr uint8_t kFirstBoardPosition = 2;
constexpr uint8_t kLastBoardPosition = 19;

bool DeviceIdMatches(const CompatibilityFacts& facts)
{
    const uint16_t adapter = facts.adapterDeviceId & facts.deviceIdMask;
    for (uint16_t id : facts.imageDeviceIds)
    {
        if ((id & facts.deviceIdMask) == adapter)
        {
            return true;
        }
    }
    return false;
}

// The image's ID differs from the adapter's, and the adapter's own ID is not
// the one the caller accepts.
bool SubsystemIdRejected(uint16_t image, uint16_t adapter, uint16_t accepted)
{
    return image != adapter && (adapter != accepted || accepted == kNoAcceptedId);
}

bool BoardAccepted(const CompatibilityFacts& facts, const CompatibilityRequest& request)
{
    const uint16_t current = facts.currentBoardId;
    return facts.imageBoardId == current ||
           (facts.imageAlternateBoardId != 0 && facts.imageAlternateBoardId == current) ||
           (request.acceptedBoardId != kNoAcceptedId && request.acceptedBoardId == current);
}

bool PositionFits(const CompatibilityFacts& facts)
{
    const uint8_t id = facts.imageHierarchyId;
    if (id == 0)
    {
        return true;
    }
    if (id == 1)
    {
        return facts.currentHierarchyId <= 1;
    }
    return id >= kFirstBoardPosition && id <= kLastBoardPosition &&
           facts.adapterHierarchyIndex == uint32_t{id} - 1;
}

uint32_t VersionMismatch(const CompatibilityFacts& facts, CLog* log)
{
    if (facts.imageVersion.find('.') == std::string::npos ||
        facts.currentVersion.find('.') == std::string::npos)
    {
        return 0;
    }
    const CFirmwareVersion replacement(facts.imageVersion, FirmwareVersionLayout);
    const CFirmwareVersion current(facts.currentVersion, FirmwareVersionLayout);
    if (log)
    {
        *log << "Current      - Parsed " << current.GetReleaseKindText()
             << " version: " << current.GetVersionString() << LogEndl << "Replace with - Parsed "
             << replacement.GetReleaseKindText() << " version: " << replacement.GetVersionString()
             << LogEndl << LogEndl;
    }
    const int currentKind = current.GetReleaseKind();
    const int replacementKind = replacement.GetReleaseKind();
    if (currentKind != replacementKind)
    {
        return currentKind > replacementKind
                   ? uint32_t{kMismatchVersionOrder | kMismatchSameVersion}
                   : 0u;
    }
    const int32_t order = replacement.CompareForUpdate(current);
    if (order == 0)
    {
        return kMismatchSameVersion;
    }
    // Positive: the current version is higher, or the two cannot be compared.
    return order > 0 ? uint32_t{kMismatchVersionOrder} : 0u;
}

bool SelectionRejects(CRefPtr<IDisplayAdapter> adapter, IROMImage& image,
                      const SelectionCriteria* selection, bool blank, CLog* log)
{
    const int32_t kind = selection ? selection->kind : SelectionCriteria::None;
    switch (kind)
    {
    case SelectionCriteria::None:
        return false;
    case SelectionCriteria::FieldRanges:
    {
        bool rejects = false;
        for (uint32_t i = 0; i < image.GetSelectionCount(); ++i)
        {
            const VFieldSelection record = image.GetSelection(i);
            const uint32_t value =
                selection->fields
                    ? selection->fields->ReadFieldValue(adapter->GetDevice().get(),
                                                        static_cast<uint8_t>(record.vfieldId))
                    : 0;
            rejects = !image.IsInSelectionRange(i, value) || rejects;
        }
        return rejects;
    }
    case SelectionCriteria::Speedometer:
        return blank && !image.IsInSelectionRange(0, adapter->GetSpeedometerValue(log));
    default:
        throw std::runtime_error("Unknown selection type: a newer version of ROMVISE is required.");
    }
}

std::vector<uint16_t> ImageDeviceIds(IROMImage& image, std::optional<uint16_t> altDeviceId)
{
    std::vector<uint16_t> ids{image.GetDeviceID()};
    if (image.GetInfoWord38() != 0)
    {
        ids.push_back(image.GetInfoWord38());
    }
    if (altDeviceId)
    {
        ids.push_back(*altDeviceId);
    }
    // The list ends at its first 0 entry; it has at most 65536 entries.
    for (uint32_t i = 0; i <= 0xFFFF; ++i)
    {
        const uint16_t entry = image.GetDeviceIDListEntry(i);
        if (entry == 0)
        {
            break;
        }
        ids.push_back(entry);
    }
    return ids;
}
} // namespace

uint32_t ComputeImageMismatch(const CompatibilityFacts& facts, const CompatibilityRequest& request,
                              CLog* log)
{
    uint32_t mask = 0;
    if (facts.imageVendorId != facts.adapterVendorId)
    {
        mask |= kMismatchVendorId;
    }
    if (facts.adapterRegisterDeviceId != 0 && facts.imageGpuDeviceId != 0 &&
        facts.adapterRegisterDeviceId != facts.imageGpuDeviceId)
    {
        mask |= kMismatchGpuDeviceId;
    }
    bool switched = false;
    if (!DeviceIdMatches(facts))
    {
        switched = facts.switchesDeviceId && facts.switchesDeviceId();
        if (!switched)
        {
            mask |= kMismatchDeviceId;
        }
    }
    if (!request.blank && !switched)
    {
        if (!facts.subsystemWaived &&
            (SubsystemIdRejected(facts.imageSubsystemDeviceId, facts.adapterSubsystemDeviceId,
                                 request.acceptedSubsystemDeviceId) ||
             SubsystemIdRejected(facts.imageSubsystemVendorId, facts.adapterSubsystemVendorId,
                                 request.acceptedSubsystemVendorId)))
        {
            mask |= kMismatchSubsystemId;
        }
        const bool boardTestLeftOut = facts.currentBoardId == 0 && request.skipZeroBoard;
        if (!boardTestLeftOut && !BoardAccepted(facts, request))
        {
            mask |= kMismatchBoardId;
        }
    }
    if (!PositionFits(facts))
    {
        mask |= kMismatchGpuPosition;
    }
    if (facts.selectionRejects)
    {
        mask |= kMismatchSelection;
    }
    return mask | VersionMismatch(facts, log);
}

void TakeEngineSettings(CompatibilityRequest& request, const EngineSettings& settings)
{
    request.relaxDeviceId = settings.relaxDeviceId;
    request.altDeviceId = settings.altDeviceId;
    request.ifrVerifyOnly = settings.ifrOnly && settings.verify;
}

uint16_t GetDeviceIdMask(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image, bool force,
                         bool relax)
{
    if (adapter->HasEEPROMStraps() && (force || image->GetInfoFlag37() || relax))
    {
        return static_cast<uint16_t>(~adapter->GetFeatureMask());
    }
    return 0xFFFF;
}

uint32_t CheckImageCompatibility(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> newImage,
                                 CRefPtr<IROMImage> current, const SelectionCriteria* selection,
                                 const CompatibilityRequest& request, CLog* log)
{
    CompatibilityFacts facts;
    facts.adapterVendorId = adapter->GetVendorID();
    facts.adapterDeviceId = adapter->GetDeviceID();
    facts.adapterRegisterDeviceId = adapter->GetRegisterDeviceID();
    facts.adapterSubsystemVendorId = adapter->GetSubsystemVendorID();
    facts.adapterSubsystemDeviceId = adapter->GetSubsystemDeviceID();
    facts.adapterHierarchyIndex = adapter->GetHierarchyIndex();
    facts.deviceIdMask = GetDeviceIdMask(adapter, newImage, request.blank, request.relaxDeviceId);

    facts.imageVendorId = newImage->GetVendorID();
    facts.imageGpuDeviceId = newImage->GetGPUDeviceID();
    facts.imageDeviceIds = ImageDeviceIds(*newImage, request.altDeviceId);
    const DevIdImageFacts switchFacts = ReadDevIdImageFacts(*newImage);
    facts.switchesDeviceId = [&] { return adapter->SwitchDevID(&switchFacts, log); };
    facts.imageSubsystemVendorId = newImage->GetSubsystemVendorID();
    facts.imageSubsystemDeviceId = newImage->GetSubsystemDeviceID();
    facts.subsystemWaived =
        request.ifrVerifyOnly && newImage->GetIFRImageSize() > 0;
    facts.imageBoardId = newImage->GetBoardID();
    facts.imageAlternateBoardId = newImage->GetAlternateBoardID();
    facts.imageHierarchyId = newImage->GetHierarchyID();
    facts.imageVersion = newImage->GetVersionString(1);

    facts.currentBoardId = current->GetBoardID();
    facts.currentHierarchyId = current->GetHierarchyID();
    facts.currentVersion = current->GetVersionString(1);

    facts.selectionRejects = SelectionRejects(adapter, *newImage, selection, request.blank, log);
    return ComputeImageMismatch(facts, request, log);
}
