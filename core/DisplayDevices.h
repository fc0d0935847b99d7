#pragma once
// The maker's display devices in the operating system's device list: which
// devices they are, their IDs and descriptions, the PCI location text, and the
// state-change requests with their log lines.

#include "core/Log.h"
#include "core/platform/IDisplayDeviceManager.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr uint16_t kMakerVendorId = 0x7E2B;

// Compatible-ID fragments that mark the maker's 3D-controller and VGA-compatible
// display functions, and the maker's vendor-and-device fragment.
inline constexpr const char* kMaker3DControllerId = "VEN_7E2B&CC_0302";
inline constexpr const char* kMakerVgaControllerId = "VEN_7E2B&CC_0300";
inline constexpr const char* kMakerDeviceIdPrefix = "VEN_7E2B&DEV_";

// One of the maker's display devices as the device list names it.
struct DisplayDeviceRecord
{
    uint32_t vendorId = kMakerVendorId;
    uint32_t deviceId = 0;
    // The compatible ID that named the vendor and device.
    std::string idText;

    bool operator==(const DisplayDeviceRecord&) const = default;
};

// A PCI function of the maker with a display base class (0x03): what the D3-cold
// control and the device list count as the maker's GPU.
bool IsMakerDisplayFunction(uint16_t vendorId, uint32_t classCode);

// The compatible IDs of a PCI function in the system's form, most specific
// first: PCI\VEN_v&DEV_d&REV_r, PCI\VEN_v&DEV_d, PCI\VEN_v&CC_ccsspp,
// PCI\VEN_v&CC_ccss, PCI\VEN_v, PCI\CC_ccsspp, PCI\CC_ccss.
std::vector<std::string> MakePciCompatibleIds(uint16_t vendorId, uint16_t deviceId,
                                              uint8_t revision, uint32_t classCode);

// "PCI bus b, device d, function f" in decimal.
std::string MakePciLocationText(uint32_t bus, uint32_t device, uint32_t function);

// Whether the IDs mark one of the maker's display-class functions: the first ID
// that contains either class fragment decides.
bool HasMakerDisplayClassId(const std::vector<std::string>& compatibleIds);

// The record for a device, when its IDs name one of the maker's display devices
// with a vendor-and-device ID before the class ID; false otherwise.
bool MakeDisplayDeviceRecord(const std::vector<std::string>& compatibleIds,
                             DisplayDeviceRecord& record);

// The maker's display devices of the list, in list order.
std::vector<DisplayDeviceRecord> FindDisplayDevices(const std::vector<DeviceEntry>& devices);

// The description of the first device whose compatible IDs contain
// "VEN_vvvv&DEV_dddd"; a matching device without a description is passed over;
// empty when none matches.
std::string FindDeviceDescription(const std::vector<DeviceEntry>& devices, uint16_t deviceId,
                                  uint16_t vendorId);

// Whether a device counts as the maker's display device for disabling: it has a
// description, and either more than one adapter was found or the description
// names the maker.
bool IsMakerDisplayDevice(const DeviceEntry& device, int32_t adapterCount);

// The bus (up to three digits) and device number (up to two digits) of a
// location text; bus stays 256 when the text holds no digit.
void ParsePciLocation(const std::string& text, int32_t& bus, int32_t& device);

// Whether the location names the given bus and device (the function is not
// compared). The getter yields the active adapter's bus and device and may
// throw (no adapter): that is logged and gives false.
bool MatchesAdapterLocation(const std::string& location,
                            const std::function<std::pair<int32_t, int32_t>()>& adapterBusDevice,
                            CLog* log);

// Sends one state change to a device; failures are logged at level 3 and give
// false. The log may be null.
bool ChangeDeviceState(IDisplayDeviceManager& manager, const std::string& instanceId,
                       EDeviceStateChange change, EDeviceStateScope scope, CLog* log);

// Enables a device globally, then for the current configuration; true only when
// both succeed.
bool EnableDisplayDevice(IDisplayDeviceManager& manager, const std::string& instanceId, CLog* log);

// Disables a device globally.
bool DisableDisplayDevice(IDisplayDeviceManager& manager, const std::string& instanceId, CLog* log);
