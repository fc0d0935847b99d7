// Finding the GMAC microcontrollers: the adapters whose firmware lists one,
// the adapters that own one, and the listing of each microcontroller with the
// adapters it belongs to.
//
// Finding them reads each adapter's firmware with the display driver out of
// the way. The driver is unbound once, at the first adapter probed, stays
// unbound across the others (and across the menu's second look), and is
// bound again once when the command ends, whichever way it ends.

#include "app/RomviseBaseApp.h"

#include "core/CrossPlatform.h"
#include "flasher/IFlasher.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <sstream>
#include <string>

namespace
{
constexpr int32_t kGmacDeviceType = 0x98;

bool IsBridgeKind(IDisplayAdapter& adapter)
{
    return TraitsOfDeviceKind(adapter.GetDevice()->GetDeviceKind()).bridge;
}

// The microcontroller device-table entry of the adapter's firmware, probed
// with the display driver out of the way. The driver stays unbound for the
// next adapter: the command binds it again when it ends.
bool FindGmacEntry(CRefPtr<IDisplayAdapter> adapter, uint8_t& address, uint8_t& port, CLog* log)
{
    CRefPtr<IFlasher> flasher = GetFlasher();
    flasher->DisableDisplayDriver(adapter, log, true);
    bool found = false;
    try
    {
        found = flasher->FindI2CDevice(GetUserInterface(), GetPCIBus(), adapter,
                                       GetEEPROMDatabase(), kGmacDeviceType, address, port, log);
    }
    catch (...)
    {
        flasher->RestoreDisplayDriver(false);
        throw;
    }
    flasher->RestoreDisplayDriver(false);
    return found;
}

// An adapter owning a microcontroller belongs to the microcontroller's
// adapter when both report the same device ID behind the same parent bus, and,
// on a normal board, sit on the same segment and bus.
bool BelongsTo(IDisplayAdapter& owner, IDisplayAdapter& device)
{
    if (owner.GetRegisterDeviceID() != device.GetRegisterDeviceID() ||
        owner.GetParentBusText() != device.GetParentBusText())
    {
        return false;
    }
    CRefPtr<IDevice> ownerDevice = owner.GetDevice();
    CRefPtr<IDevice> gmacDevice = device.GetDevice();
    return !ownerDevice->IsNormalBoard() ||
           (ownerDevice->GetSegment() == gmacDevice->GetSegment() &&
            ownerDevice->GetBus() == gmacDevice->GetBus());
}
} // namespace

DisplayAdapterList CRomviseBaseApp::FindGmacDevices(CRefPtr<IDisplayAdapterDatabase> database,
                                                    bool includeUncatalogued, CLog* log)
{
    DisplayAdapterList candidates;
    GetPCIBus()->FindDevices(candidates, database, includeUncatalogued, log);
    DisplayAdapterList accepted;
    for (const CRefPtr<IDisplayAdapter>& candidate : candidates)
    {
        if (IsBridgeKind(*candidate) || !candidate->IsConfigured())
        {
            continue;
        }
        bool repeated = false;
        for (const CRefPtr<IDisplayAdapter>& earlier : accepted)
        {
            repeated =
                repeated || (earlier->GetRegisterDeviceID() == candidate->GetRegisterDeviceID() &&
                             earlier->GetParentBusText() == candidate->GetParentBusText() &&
                             !candidate->GetDevice()->IsNormalBoard());
        }
        uint8_t address = 0;
        uint8_t port = 0;
        if (!repeated && FindGmacEntry(candidate, address, port, log))
        {
            CRefPtr<IGmacAccessor> accessor = candidate->GetGmacAccessor();
            accessor->SetSlaveAddress(address);
            accessor->SetI2CPort(port);
            accepted.push_back(candidate);
        }
    }
    return accepted;
}

DisplayAdapterList CRomviseBaseApp::FindMcuAdapters(const DisplayAdapterList& adapters, CLog* log)
{
    DisplayAdapterList owners;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        if (IsBridgeKind(*adapter))
        {
            continue;
        }
        uint8_t address = 0;
        uint8_t port = 0;
        if (!adapter->GetDevice()->IsNormalBoard() || FindGmacEntry(adapter, address, port, log))
        {
            owners.push_back(adapter);
        }
    }
    return owners;
}

std::string CRomviseBaseApp::ListGmacDevices(const DisplayAdapterList& devices,
                                             const DisplayAdapterList& owners)
{
    std::ostringstream lines;
    for (size_t k = 0; k < devices.size(); ++k)
    {
        lines << '<' << k << "> " << devices[k]->GetGmacName() << '\n';
        for (const CRefPtr<IDisplayAdapter>& owner : owners)
        {
            if (BelongsTo(*owner, *devices[k]))
            {
                lines << "    |__ ";
                owner->PrintDescription(lines, true, HasEngineeringFeatures());
                lines << '\n';
            }
        }
    }
    return lines.str();
}
