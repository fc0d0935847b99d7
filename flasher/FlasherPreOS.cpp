// Starting the pre-OS application of an adapter's firmware again after the
// flasher used the adapter's microcontroller for EEPROM access.

#include "core/CrossPlatform.h"
#include "flasher/FlasherImpl.h"
#include "flasher/PreOSDescriptor.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <optional>
#include <vector>

namespace
{
// The kinds after Cendra1 run it only when the firmware enabled it: bits 12-15 of
// this register read 1.
constexpr uint32_t kPreOSEnableRegister = 0x1598;
constexpr uint8_t kPreOSUcodeEntry = 1;

std::vector<uint8_t> ImageBytes(IROMImage& image, uint32_t offset, uint32_t size)
{
    std::vector<uint8_t> bytes(size);
    if (size != 0)
    {
        image.ReadBlock(bytes.data(), static_cast<int32_t>(offset), size);
    }
    return bytes;
}
} // namespace

bool CFlasherImpl::LoadPreOSApp(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IEEPROM> eeprom, CRefPtr<IEEPROMDatabase> database,
                                CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (!adapter || !eeprom || !database)
    {
        return false;
    }
    const int32_t kind = adapter->GetDevice()->GetDeviceKind();
    if (!TraitsOfDeviceKind(kind).preOsApplication)
    {
        return false;
    }
    // Only the loader the operating-system layer holds for this adapter's
    // flash context may be used; the engine shares it.
    ICrossPlatform* os = GetCrossPlatform();
    CRefPtr<IMicrocodeLoader> loader = m_loader;
    if (!loader || os->GetFlashLoader() != loader->GetRegistration())
    {
        return false;
    }
    auto skip = [&]
    {
        LogLine(log, 3, "Flasher skip to load Pre-OS service in VBIOS on exit.");
        loader->SetPreOSLoaded(false);
        return false;
    };
    if (kind != static_cast<int32_t>(kDeviceKindCendra1) &&
        ((adapter->Read32(kPreOSEnableRegister) >> 12) & 0xF) != 1)
    {
        return skip();
    }
    if (loader->GetEngineType() == kAttachedPmuEngine)
    {
        return skip();
    }
    LogLine(log, 3, "\nProcess Pre-OS App loading.");
    CRefPtr<IROMImage> image = ReadAdapterImage(ui, adapter, database, eeprom, log, false);
    const int32_t entry = image->FindKestrixUcodeEntry(kPreOSUcodeEntry);
    const int32_t offset = entry == -1 ? -1 : image->MapExtendedOffset(entry);
    if (offset == -1)
    {
        return skip();
    }
    LogLine(log, 3, "Loading Pre-OS App found in adapter firmware.");
    // The descriptor is checked before the running microcode is closed, so a
    // damaged firmware leaves the microcontroller as it was.
    const std::optional<PreOSDescriptor> descriptor = ReadPreOSDescriptor(*image, offset);
    if (!descriptor)
    {
        LogLine(log, 3, "Pre-OS App descriptor does not fit the adapter firmware.");
        return skip();
    }
    const std::vector<uint8_t> code =
        ImageBytes(*image, descriptor->codeOffset, descriptor->codeSize);
    const std::vector<uint8_t> data =
        ImageBytes(*image, descriptor->dataOffset, descriptor->dataSize);
    loader->Close();
    loader->SetPreOSLoaded(true);
    loader->ResetEngine(adapter);
    loader->SetSecureLoading(descriptor->secureCodeSize != 0, descriptor->secureCodeBase,
                             descriptor->codeSize);
    loader->WriteMemory(adapter, EMicrocodeMemory::Code, descriptor->codeBase, code);
    loader->WriteMemory(adapter, EMicrocodeMemory::Data, descriptor->dataBase, data);
    loader->StartEngine(adapter, descriptor->bootVector);
    LogLine(log, 3, "Pre-OS App is loaded and started.");
    return true;
}
