#include "varnex/VarnexImgChecks.h"

#include "core/TextHelpers.h"
#include "varnex/VarnexTypedObjects.h"

#include <sstream>

namespace
{

std::string Id(uint16_t id)
{
    return ToHexString(id, 4);
}

VarnexPciIds IdsOf(const CVarnexImageImgObject& img)
{
    return {img.GetDeviceId(), img.GetVendorId(), img.GetSubsystemId(), img.GetSubsystemVendorId()};
}

bool SameDevice(const VarnexPciIds& a, const VarnexPciIds& b)
{
    return a.deviceId == b.deviceId && a.vendorId == b.vendorId && a.subsystemId == b.subsystemId;
}

// The image's IMG object; none, with its messages, when it has none.
const CVarnexImageImgObject* FindImg(const CVarnexImage* image, CLog* log)
{
    const auto* img =
        image != nullptr
            ? dynamic_cast<const CVarnexImageImgObject*>(image->FindObject(VarnexTags::IMG))
            : nullptr;
    if (img == nullptr)
    {
        *log << "Error: no IMG object detected in the Varnex image." << LogEndl;
        *log << "       No image version available." << LogEndl;
        std::ostringstream message;
        message << "Error: IMG object is not present.";
        FlushMessageBuffer(message, log, 3);
    }
    return img;
}

// The lines pairing the IMG object's IDs with the other side's, named by
// "    IMG <field> = " and "    <otherName> <field> = ".
void WriteIdPairs(std::ostringstream& message, const VarnexPciIds& img, const VarnexPciIds& other,
                  const char* otherName, bool withSubsystemVendor)
{
    const auto pair = [&](const char* field, uint16_t imgId, uint16_t otherId)
    {
        message << "    IMG " << field << " = " << Id(imgId) << "\n"
                << "    " << otherName << " " << field << " = " << Id(otherId) << "\n";
    };
    pair("Device ID", img.deviceId, other.deviceId);
    pair("Vendor ID", img.vendorId, other.vendorId);
    pair("Subsystem ID", img.subsystemId, other.subsystemId);
    if (withSubsystemVendor)
    {
        pair("Subsystem Vendor ID", img.subsystemVendorId, other.subsystemVendorId);
    }
}

} // namespace

bool CheckImgAgainstRomImageIds(const CVarnexImage* image, const VarnexPciIds& romImage, CLog* log)
{
    const CVarnexImageImgObject* img = FindImg(image, log);
    if (img == nullptr)
    {
        return false;
    }
    if (img->IsIdCheckWaived() || SameDevice(IdsOf(*img), romImage))
    {
        return true;
    }
    std::ostringstream message;
    message << "Varnex image/device mismatch detected:\n";
    WriteIdPairs(message, IdsOf(*img), romImage, "ROM Image", false);
    message << "\nError: Varnex image does not match VBIOS ROM Image.";
    LogMessage(message, 4, true);
    return false;
}

bool CheckImgAgainstAdapterIds(const CVarnexImage* image, const VarnexPciIds& adapter, CLog* log)
{
    const CVarnexImageImgObject* img = FindImg(image, log);
    if (img == nullptr)
    {
        return false;
    }
    if (img->IsIdCheckWaived() || SameDevice(IdsOf(*img), adapter))
    {
        return true;
    }
    std::ostringstream message;
    message << "Varnex image/device mismatch detected:\n";
    WriteIdPairs(message, IdsOf(*img), adapter, "Display Adapter", true);
    message << "Error: Varnex image does not match display adapter.";
    FlushMessageBuffer(message, log, 3);
    return false;
}
