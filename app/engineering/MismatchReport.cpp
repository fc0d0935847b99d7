// The words that explain a mismatch mask before the user is asked to
// override it: each mismatching value of the image beside the adapter's.

#include "app/engineering/FlashCommands.h"

#include "core/TextHelpers.h"
#include "flasher/ImageCompatibility.h"

#include <ostream>

namespace
{
std::string Id(uint32_t value)
{
    return ToHex(value, 4);
}

void ReportVersion(std::ostream& out, IROMImage& image, IROMImage& current)
{
    out << "WARNING: Firmware image version (" << image.GetVersionString(0)
        << ") is not newer \n\t than the existing firmware (" << current.GetVersionString(0)
        << ").\n";
}

void ReportDeviceIds(std::ostream& out, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                     const CompatibilityRequest& request)
{
    const uint16_t mask = GetDeviceIdMask(adapter, image, request.blank, request.relaxDeviceId);
    out << "WARNING: None of the firmware image compatible PCI Device ID's \n"
           "match the PCI Device ID of the adapter.\n"
        << "Adapter PCI Device ID:        " << Id(adapter->GetDeviceID() & mask) << "\n"
        << "Firmware image PCI Device ID: " << Id(image->GetDeviceID() & mask);
    if (const uint16_t alternate = image->GetInfoWord38(); alternate != 0)
    {
        out << "\n    Alternate:                " << Id(alternate & mask);
    }
    // The list ends at its first zero entry; the image bounds every read.
    for (uint32_t j = 0; const uint16_t entry = image->GetDeviceIDListEntry(j); ++j)
    {
        if (j == 0)
        {
            out << "\n    PCI 3.0 extended list:    ";
        }
        else if (j % 8 == 0)
        {
            out << "\n" << std::string(30, ' ');
        }
        else
        {
            out << ", ";
        }
        out << Id(entry & mask);
    }
    out << "\n";
}

void ReportBoardIds(std::ostream& out, IROMImage& image, IROMImage& current)
{
    out << "WARNING: None of the firmware image compatible Board ID's \n"
           "match the Board ID of the adapter.\n"
        << "Adapter Board ID:        " << Id(current.GetBoardID()) << "\n"
        << "Firmware image Board ID: " << Id(image.GetBoardID()) << "\n";
    if (const uint16_t alternate = image.GetAlternateBoardID(); alternate != 0)
    {
        out << "    Alternate:           " << Id(alternate) << "\n";
    }
}

void ReportSelection(std::ostream& out, IDisplayAdapter& adapter, IROMImage& image,
                     const SelectionCriteria* selection, CLog* log)
{
    for (uint32_t i = 0; i < image.GetSelectionCount(); ++i)
    {
        const VFieldSelection record = image.GetSelection(i);
        uint32_t value = 0;
        if (selection && selection->kind == SelectionCriteria::FieldRanges && selection->fields)
        {
            value = selection->fields->ReadFieldValue(adapter.GetDevice().get(),
                                                      static_cast<uint8_t>(record.vfieldId));
        }
        else if (selection && selection->kind == SelectionCriteria::Speedometer)
        {
            value = adapter.GetSpeedometerValue(log);
        }
        if (!image.IsInSelectionRange(i, value))
        {
            out << "WARNING: Firmware image Selection ID range [" << ToHex(record.minimum, 8) << ","
                << ToHex(record.maximum, 8)
                << "]\n  does not match the selection ID of the adapter (" << ToHex(value, 8)
                << ").\n";
        }
    }
}
} // namespace

void ReportImageMismatch(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                         CRefPtr<IROMImage> current, const SelectionCriteria* selection,
                         const CompatibilityRequest& request, uint32_t mask, CLog* log)
{
    if (!log || mask == 0)
    {
        return;
    }
    std::ostream& out = *log;
    out << LogLevel(4);
    if (mask & (kMismatchVersionOrder | kMismatchSameVersion))
    {
        ReportVersion(out, *image, *current);
    }
    if (mask & kMismatchVendorId)
    {
        out << "WARNING: Firmware image PCI Vendor ID (" << Id(image->GetVendorID())
            << ")\n  does not match adapter PCI Vendor ID (" << Id(adapter->GetVendorID())
            << ").\n";
    }
    if (mask & kMismatchGpuDeviceId)
    {
        out << "WARNING: Firmware image GPU Device ID (" << Id(image->GetGPUDeviceID())
            << ")\n  does not match adapter PCI Device ID (" << Id(adapter->GetRegisterDeviceID())
            << ").\n";
    }
    if (mask & kMismatchDeviceId)
    {
        ReportDeviceIds(out, adapter, image, request);
    }
    if (mask & kMismatchSubsystemId)
    {
        out << "WARNING: Firmware image PCI Subsystem ID (" << Id(image->GetSubsystemVendorID())
            << "." << Id(image->GetSubsystemDeviceID())
            << ")\n  does not match adapter PCI Subsystem ID ("
            << Id(adapter->GetSubsystemVendorID()) << "." << Id(adapter->GetSubsystemDeviceID())
            << ").\n";
    }
    if (mask & kMismatchBoardId)
    {
        ReportBoardIds(out, *image, *current);
    }
    if (mask & kMismatchGpuPosition)
    {
        out << "WARNING: Firmware image Hierarchy ID (" << image->GetHierarchyIDName()
            << ")\n  either does not match the Hierarchy ID of the adapter ("
            << current->GetHierarchyIDName()
            << ")\n  or does not match the Hierarchy Role of the adapter ("
            << adapter->GetHierarchyName() << ").\n";
    }
    if (mask & kMismatchSelection)
    {
        ReportSelection(out, *adapter, *image, selection, log);
    }
    out << std::flush;
}
