#include "app/PackageSlot.h"

#include <cstring>
#include <stdexcept>

namespace
{
constexpr PackageStore MakePlaceholderStore()
{
    PackageStore store{};
    for (size_t i = 0; i < 8; ++i)
    {
        store.slot[i] = static_cast<uint8_t>(kUnstampedSlotText[i]);
    }
    for (size_t i = 0; i < 15; ++i)
    {
        store.control.marker[i] = static_cast<uint8_t>(kControlBlockMarker[i]);
    }
    store.control.marker[15] = 0xFF;
    store.control.subsystemVendorId = kNoControlId;
    store.control.subsystemDeviceId = kNoControlId;
    store.control.boardId = kNoControlId;
    const char name[] = "flash.rom";
    for (size_t i = 0; i + 1 < sizeof name; ++i)
    {
        store.control.fileName[i] = name[i];
    }
    return store;
}

// Not const: a constant object could go to read-only data and its reads could
// be folded into the placeholder values.
[[gnu::used]] PackageStore g_packageStore = MakePlaceholderStore();
} // namespace

const PackageStore& GetPackageStore()
{
    const PackageStore* store = &g_packageStore;
    // The optimiser must forget what it knows of the object: romstamp changes
    // its bytes in the program file after the build.
    asm volatile("" : "+r"(store) : : "memory");
    return *store;
}

bool IsPackageSlotEmpty(const PackageStore& store)
{
    return std::memcmp(store.slot, kUnstampedSlotText, 4) == 0;
}

std::span<const uint8_t> GetPackageBytes(const PackageStore& store)
{
    uint32_t length = 0;
    std::memcpy(&length, store.slot, sizeof length);
    if (length == 0 || length > kMaxPackageLength)
    {
        throw std::runtime_error("Embedded ROM image has an invalid length.");
    }
    return {store.slot + 4, length};
}

std::string GetPackageFileName(const PackageControlBlock& control)
{
    return std::string(control.fileName, strnlen(control.fileName, sizeof control.fileName));
}
