// The catalogue rows. They are our own product data: a representative set of
// the maker's adapters and boards that covers every device kind, every flag
// and feature-mask combination the program distinguishes, the ZX22 bridge's
// block of sixteen IDs and the three PLX switch IDs.

#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <array>

namespace
{
constexpr uint16_t kZX22Base = 0x1E00; // aligned: the low four bits are clear

// A GPU row: straps live in the firmware image, register 0xC040 is masked
// during ROM access.
constexpr AdapterCatalogueRecord Gpu(uint16_t deviceId, uint32_t kind, uint16_t featureMask,
                                     const char* name, uint8_t flagB = 1, uint8_t flagC = 0,
                                     uint8_t secondaryDevId = 0)
{
    return {kKorvanVendorId, deviceId, kind, 0, 1, 1, 0, 1, 1, featureMask, 1, 1, 0, flagB, flagC,
            secondaryDevId, name};
}

constexpr AdapterCatalogueRecord Bridge(uint16_t vendorId, uint16_t deviceId, uint32_t kind,
                                        const char* name)
{
    return {vendorId, deviceId, kind, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, name};
}

constexpr AdapterCatalogueRecord ZX22(uint16_t index)
{
    return Bridge(kKorvanVendorId, static_cast<uint16_t>(kZX22Base + index), kDeviceKindZX22,
                  "Korvan ZX22 Bridge");
}

constexpr std::array kAdapterRows = {
    Gpu(0x0610, kDeviceKindIso, 0x1F, "Korvan ISO 610"),
    Gpu(0x0611, kDeviceKindIso, 0x1F, "Korvan ISO 611"),
    Gpu(0x0612, kDeviceKindIso, 0x1F, "Korvan ISO 612 Pro", 0),
    Gpu(0x0620, kDeviceKindIso, 0x1F, "Korvan ISO 620", 0),
    Gpu(0x0700, kDeviceKindAvrel2, 0x1F, "Korvan Avrel2 700"),
    Gpu(0x0710, kDeviceKindAvrel2, 0x2F, "Korvan Avrel2 710"),
    Gpu(0x0711, kDeviceKindAvrel2, 0x2F, "Korvan Avrel2 711 Pro"),
    Gpu(0x0800, kDeviceKindAvrel2b, 0x3F, "Korvan Avrel2 800"),
    Gpu(0x0801, kDeviceKindAvrel2b, 0x3F, "Korvan Avrel2 801 Duo", 1, 0, 1),
    Gpu(0x0900, kDeviceKindCendra1, 0x3F, "Korvan Cendra1 900"),
    Gpu(0x0901, kDeviceKindCendra1, 0x3F, "Korvan Cendra1 901 Duo", 1, 0, 1),
    Gpu(0x0A00, kDeviceKindCendra2, 0x3F, "Korvan Cendra2 A00"),
    Gpu(0x0A01, kDeviceKindCendra2, 0x3F, "Korvan Cendra2 A01 Duo", 1, 0, 1),
    Gpu(0x0B00, kDeviceKindDolvik, 0x3F, "Korvan Dolvik B00"),
    Gpu(0x0B01, kDeviceKindDolvik, 0x3F, "Korvan Dolvik B01"),
    Gpu(0x0C00, kDeviceKindDolvik1, 0x3F, "Korvan Dolvik1 C00"),
    Gpu(0x0C01, kDeviceKindDolvik1, 0x3F, "Korvan Dolvik1 C01 Duo", 1, 1, 1),
    Gpu(0x0C02, kDeviceKindDolvik1, 0x3F, "Korvan Dolvik1 C02 Duo", 1, 1, 1),
    ZX22(0x0), ZX22(0x1), ZX22(0x2), ZX22(0x3), ZX22(0x4), ZX22(0x5), ZX22(0x6), ZX22(0x7),
    ZX22(0x8), ZX22(0x9), ZX22(0xA), ZX22(0xB), ZX22(0xC), ZX22(0xD), ZX22(0xE), ZX22(0xF),
    Bridge(kPlxVendorId, 0x8747, kDeviceKindPLX8747, "PLX PEX 8747 Switch"),
    Bridge(kPlxVendorId, 0x8748, kDeviceKindPLX8747, "PLX PEX 8748 Switch"),
    Bridge(kPlxVendorId, 0x8749, kDeviceKindPLX8747, "PLX PEX 8749 Switch"),
};

constexpr std::array<BoardCatalogueRecord, 8> kBoardRows = {{
    {0x0101, kKorvanVendorId, 0x0610, "A01", "", "Korvan ISO 610 Reference Board"},
    {0x0102, kKorvanVendorId, 0x0612, "A02", "", "Korvan ISO 612 Pro Board"},
    {0x0201, kKorvanVendorId, 0x0710, "B01", "", "Korvan Avrel2 710 Reference Board"},
    {0x0301, kKorvanVendorId, 0x0801, "A00", "B00", "Korvan Avrel2 801 Duo Board"},
    {0x0401, kKorvanVendorId, 0x0900, "C01", "", "Korvan Cendra1 900 Reference Board"},
    {0x0501, kKorvanVendorId, 0x0A00, "A01", "", "Korvan Cendra2 A00 Reference Board"},
    {0x0601, kKorvanVendorId, 0x0C00, "A03", "", "Korvan Dolvik1 C00 Reference Board"},
    {0x0F01, kPlxVendorId, 0x8747, "A01", "", "Korvan Quad Carrier Board"},
}};
} // namespace

std::span<const AdapterCatalogueRecord> GetAdapterCatalogueRecords()
{
    return kAdapterRows;
}

uint16_t GetZX22DeviceIdBase()
{
    return kZX22Base;
}

std::span<const BoardCatalogueRecord> GetBoardCatalogueRecords()
{
    return kBoardRows;
}
