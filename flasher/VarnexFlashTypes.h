#pragma once
// The Varnex flash types: what programming a new image does to the Varnex
// store the adapter's current image carries, for each combination of the two
// images' stores.

#include <cstdint>
#include <string>
#include <vector>

struct VarnexFlashTypeDescriptor
{
    int32_t id;
    // 0 nothing; 1 merge the adapter's objects into the new store; 2 keep the
    // adapter's block; 3 merge with the OBD objects compared.
    int32_t action;
    // 0 the new OBD object; 1 the adapter's preserved; 2 compared.
    int32_t obdMode;
    // 0 the adapter's backup block preserved; 1 or 2 refreshed from its store.
    int32_t backupMode;
    std::string name;
};

// Store levels of the presence tests.
enum VarnexStoreLevel : uint32_t
{
    kGenericDefault = 0,
    kGenericPopulated = 1,
    kProductDefault = 2,
    kProductPopulated = 3,
};

constexpr int32_t kVarnexFlashTypeUnknown = 24;

// Every flash type in id order.
const std::vector<VarnexFlashTypeDescriptor>& VarnexFlashTypes();
// The row of the flash type; null when there is none.
const VarnexFlashTypeDescriptor* FindVarnexFlashType(int32_t id);
