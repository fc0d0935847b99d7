// The Varnex flash types: each image's store classified by the two presence
// tests, and the pair of classifications turned into a flash type.

#include "core/TextHelpers.h"
#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "flasher/ObdFields.h"
#include "flasher/VarnexErrorGuard.h"
#include "flasher/VarnexFlashTypes.h"
#include "image/NBSIPCIBlock.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace
{
const VarnexTag kImgTag("IMG");

// Body offsets and lengths of the OBD fields the presence tests read.
constexpr size_t kMarketingNameAt = 4, kMarketingNameLength = 24;
constexpr size_t kSerialNumberAt = 28, kSerialNumberLength = 16;
constexpr size_t k699NumberAt = 95, k699NumberLength = 20;

std::string BodyText(const CVarnexImageObject& object, size_t at, size_t length)
{
    const std::vector<uint8_t> body = object.GetData();
    std::string text(length, '\0');
    for (size_t i = 0; i < length && at + i < body.size(); ++i)
    {
        text[i] = static_cast<char>(body[at + i]);
    }
    return text;
}

bool NotEmpty(const std::string& field)
{
    return !field.empty() && field[0] != '\0';
}

// The last piece of the version text, read as hexadecimal.
uint32_t ReleaseNumber(const std::vector<std::string>& pieces)
{
    return static_cast<uint32_t>(std::strtoul(pieces.back().c_str(), nullptr, 16));
}

struct StoreClass
{
    bool hasBlock = false;
    bool generic = false;
    bool product = false;
    uint32_t release = 0;
    uint32_t level = 0;
};
} // namespace

const std::vector<VarnexFlashTypeDescriptor>& VarnexFlashTypes()
{
    static const std::vector<VarnexFlashTypeDescriptor> table = {
        {0, 0, 0, 0, "VARNEX_FLASH_TYPE_NONE_TO_NONE"},
        {1, 1, 0, 0, "VARNEX_FLASH_TYPE_NONE_TO_GENERIC_POPULATED"},
        {2, 1, 0, 0, "VARNEX_FLASH_TYPE_NONE_TO_GENERIC_DEFAULT"},
        {3, 1, 0, 0, "VARNEX_FLASH_TYPE_NONE_TO_PRODUCT_ANY"},
        {4, 2, 0, 0, "VARNEX_FLASH_TYPE_NOT_NONE_TO_NONE"},
        {5, 1, 1, 1, "VARNEX_FLASH_TYPE_GENERIC_DEFAULT_TO_GENERIC_DEFAULT"},
        {6, 1, 1, 1, "VARNEX_FLASH_TYPE_GENERIC_DEFAULT_TO_GENERIC_DEFAULT_NEWER"},
        {7, 1, 0, 0, "VARNEX_FLASH_TYPE_GENERIC_DEFAULT_TO_GENERIC_POPULATED"},
        {8, 1, 0, 1, "VARNEX_FLASH_TYPE_GENERIC_DEFAULT_TO_PRODUCT_DEFAULT_NEWER"},
        {9, 1, 1, 1, "VARNEX_FLASH_TYPE_GENERIC_ANY_TO_PRODUCT_DEFAULT"},
        {10, 1, 0, 0, "VARNEX_FLASH_TYPE_GENERIC_ANY_TO_PRODUCT_POPULATED"},
        {11, 2, 0, 0, "VARNEX_FLASH_TYPE_GENERIC_POPULATED_GENERIC_DEFAULT"},
        {12, 1, 1, 1, "VARNEX_FLASH_TYPE_GENERIC_POPULATED_GENERIC_DEFAULT_NEWER"},
        {13, 2, 0, 0, "VARNEX_FLASH_TYPE_GENERIC_POPULATED_GENERIC_POPULATED"},
        {14, 3, 2, 2, "VARNEX_FLASH_TYPE_GENERIC_POPULATED_GENERIC_POPULATED_NEWER"},
        {15, 2, 0, 0, "VARNEX_FLASH_TYPE_PRODUCT_ANY_TO_GENERIC_ANY"},
        {16, 1, 0, 1, "VARNEX_FLASH_TYPE_PRODUCT_ANY_TO_PRODUCT_DEFAULT"},
        {17, 1, 0, 1, "VARNEX_FLASH_TYPE_PRODUCT_ANY_TO_PRODUCT_POPULATED"},
        {18, 3, 2, 2, "VARNEX_FLASH_TYPE_PRODUCT_DEFAULT_TO_PRODUCT_DEFAULT"},
        {19, 1, 0, 0, "VARNEX_FLASH_TYPE_PRODUCT_DEFAULT_TO_PRODUCT_DEFAULT_NEWER"},
        {20, 1, 0, 0, "VARNEX_FLASH_TYPE_PRODUCT_DEFAULT_TO_PRODUCT_POPULATED"},
        {21, 2, 0, 0, "VARNEX_FLASH_TYPE_PRODUCT_POPULATED_TO_PRODUCT_DEFAULT"},
        {22, 3, 2, 2, "VARNEX_FLASH_TYPE_PRODUCT_POPULATED_TO_PRODUCT_POPULATED"},
        {23, 3, 2, 2, "VARNEX_FLASH_TYPE_PRODUCT_POPULATED_TO_PRODUCT_POPULATED_NEWER"},
        {24, 0, 0, 0, "VARNEX_FLASH_TYPE_UNKNOWN"},
    };
    return table;
}

const VarnexFlashTypeDescriptor* FindVarnexFlashType(int32_t id)
{
    for (const VarnexFlashTypeDescriptor& row : VarnexFlashTypes())
    {
        if (row.id == id)
        {
            return &row;
        }
    }
    return nullptr;
}

CRefPtr<CVarnexImage> CFlasherImpl::ReadVarnexObject(CRefPtr<IROMImage> image, bool backup)
{
    if (!image)
    {
        std::cout << "Failed to read Varnex object from a invalid ROM image" << std::endl;
        return nullptr;
    }
    const uint16_t key = backup ? nbsi::kTypeVarnexBackup : nbsi::kTypeVarnexImage;
    const int32_t offset = image->FindNBSIObject(key);
    const uint32_t length = image->GetNBSIObjectLength(key);
    if (offset == -1 || length == 0)
    {
        return nullptr;
    }
    std::vector<uint8_t> bytes(length);
    image->ReadBlock(bytes.data(), offset, length);
    return CRefPtr<CVarnexImage>(new CVarnexImage(bytes));
}

bool CFlasherImpl::IsGenericVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release,
                                          uint32_t* level, bool backup)
{
    CLog* log = GetLog();
    if (log)
    {
        log->SetLevel(3);
    }
    return RunGuardingStoreErrors(
        "CFlasherImpl::IsGenericVarnexPresent", false,
        [&]
        {
            CRefPtr<CVarnexImage> store = ReadVarnexObject(image, backup);
            if (!store || !store->IsValid())
            {
                return false;
            }
            auto* img = dynamic_cast<CVarnexImageImgObject*>(store->FindObject(kImgTag));
            if (!img)
            {
                return false;
            }
            const std::string version = img->GetVersionText();
            LogLine(log, 3, version);
            std::vector<std::string> pieces;
            SplitString(version, '.', pieces);
            if (version.empty() || pieces.size() < 2)
            {
                return false;
            }
            if (!img->IsIdCheckWaived() && pieces[0] != "G001" && pieces[0] != "BU01")
            {
                return false;
            }
            if (release)
            {
                *release = ReleaseNumber(pieces);
            }
            if (level)
            {
                *level = kGenericDefault;
                const CVarnexImageObject* obd = store->FindObject(kObdTag);
                if (obd && NotEmpty(BodyText(*obd, kSerialNumberAt, kSerialNumberLength)) &&
                    BodyText(*obd, k699NumberAt, k699NumberLength).find("699") != std::string::npos)
                {
                    *level = kGenericPopulated;
                }
            }
            return true;
        });
}

bool CFlasherImpl::IsProductVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release,
                                          uint32_t* level, bool backup)
{
    return RunGuardingStoreErrors(
        "CFlasherImpl::IsProductVarnexPresent", false,
        [&]
        {
            CRefPtr<CVarnexImage> store = ReadVarnexObject(image, backup);
            if (!store || !store->IsValid())
            {
                return false;
            }
            auto* img = dynamic_cast<CVarnexImageImgObject*>(store->FindObject(kImgTag));
            if (!img || img->IsIdCheckWaived() || img->GetDeviceId() == 0 ||
                img->GetVendorId() == 0 || img->GetSubsystemId() == 0 ||
                img->GetSubsystemVendorId() == 0)
            {
                return false;
            }
            const std::string version = img->GetVersionText();
            if (version.empty())
            {
                return true;
            }
            std::vector<std::string> pieces;
            SplitString(version, '.', pieces);
            if (pieces.size() >= 2 && release)
            {
                *release = ReleaseNumber(pieces);
            }
            if (level)
            {
                *level = kProductDefault;
                const CVarnexImageObject* obd = store->FindObject(kObdTag);
                if (obd && NotEmpty(BodyText(*obd, kMarketingNameAt, kMarketingNameLength)) &&
                    BodyText(*obd, k699NumberAt, k699NumberLength).find("699") != std::string::npos)
                {
                    *level = kProductPopulated;
                }
            }
            return true;
        });
}

int32_t CFlasherImpl::GetVarnexFlashType(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                         CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    const bool merge = IsOptionSet("mergevarnex");
    auto classify = [this](CRefPtr<IROMImage> image)
    {
        StoreClass store;
        store.hasBlock = image->HasNBSIObject(nbsi::kTypeVarnexImage);
        uint32_t release = 0;
        uint32_t level = 0;
        store.generic = IsGenericVarnexPresent(image, &release, &level, false);
        if (store.generic)
        {
            store.release = release;
            store.level = level;
        }
        // A store that passes both tests counts with its product values.
        store.product = IsProductVarnexPresent(image, &release, &level, false);
        if (store.product)
        {
            store.release = release;
            store.level = level;
        }
        return store;
    };
    const StoreClass fresh = classify(newImage);
    const StoreClass cur = classify(current);
    const bool both = cur.hasBlock && fresh.hasBlock;
    if (both)
    {
        LogLine(log, 3,
                "Varnex Release Level: " + Hex(cur.level, 2) + "(Current) v.s." + Hex(fresh.level, 2) +
                    "(File)");
        LogLine(log, 3, "   NOTES: GENERIC_DEFAULT = 0, GENERIC_POPULATED = 1 ");
        LogLine(log, 3, "          PRODUCT_DEFAULT = 2 ,PRODUCT_POPULATED = 3 ");
        LogLine(log, 3,
                "Varnex Release Version: " + current->GetVarnexVersion() + "(Current) v.s. " +
                    newImage->GetVarnexVersion() + "(File)");
    }
    const bool newer = fresh.release > cur.release;
    const uint32_t c = cur.level;
    const uint32_t n = fresh.level;
    int32_t type = kVarnexFlashTypeUnknown;
    if (!cur.hasBlock && !fresh.generic && !fresh.product)
    {
        LogLine(log, 3, "Varnex info: No Varnex be detected in file and EEPROM.");
        type = 0;
    }
    else if (!cur.hasBlock && fresh.generic)
    {
        type = n == kGenericPopulated ? 1 : 2;
        if (type == 2 && IsVerbose())
        {
            GetUserInterface()->ShowMessage(
                1, "\n         This board will not be tracked by the Korvan board-tracking "
                   "service (boards.korvan.example)\n"
                   "         until a valid OBD data (SN and KRPN) is programmed.");
        }
    }
    else if (!cur.hasBlock && fresh.product && (n == 2 || n == 3))
    {
        type = 3;
    }
    else if (cur.hasBlock && !fresh.hasBlock)
    {
        type = 4;
    }
    else if (both)
    {
        if (c == 0 && n == 0)
            type = newer ? 6 : 5;
        else if (c == 0 && n == 1)
            type = 7;
        else if (c <= 1 && n == 2)
            type = 9;
        else if (c <= 1 && n == 3)
            type = 10;
        else if (c == 1 && n == 0)
            type = newer ? 12 : 11;
        else if (c == 1 && n == 1)
            type = newer ? 14 : 13;
        else if (c >= 2 && n <= 1)
            type = 15;
        else if (c == 2 && n == 2)
            type = merge ? 18 : (newer ? 19 : 16);
        else if (c == 2 && n == 3)
            type = 20;
        else if (c == 3 && n == 2)
            type = 21;
        else if (c == 3 && n == 3)
            type = merge ? (newer ? 23 : 22) : 17;
    }
    if (type == kVarnexFlashTypeUnknown)
    {
        LogLine(log, 3, "ERROR: Cannot recognize the Varnex Flash type.");
    }
    LogLine(log, 3, "VARNEX_FLASH_TYPE: " + Hex(static_cast<uint32_t>(type), 2));
    return type;
}
