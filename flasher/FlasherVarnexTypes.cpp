// The Varnex flash types: each image's store classified by the two presence
// tests, and the pair of classifications turned into a flash type.

#include "core/TextHelpers.h"
#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "flasher/VarnexErrorGuard.h"
#include "flasher/VarnexFlashTypes.h"
#include "image/NBSIPCIBlock.h"
#include "varnex/ObdFields.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace
{
const VarnexTag kImgTag("IMG");

// The OBD fields the presence tests read.
const ObdField& MarketingName()
{
    return FindObdField("MarketingName");
}

const ObdField& SerialNumber()
{
    return FindObdField("BoardSerialNumber");
}

const ObdField& Number699()
{
    return FindObdField("Board699PartNumber");
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

StoreClass ClassifyStore(CFlasherImpl& flasher, CRefPtr<IROMImage> image)
{
    StoreClass store;
    store.hasBlock = image->HasNBSIObject(nbsi::kTypeVarnexImage);
    uint32_t release = 0;
    uint32_t level = 0;
    store.generic = flasher.IsGenericVarnexPresent(image, &release, &level, false);
    if (store.generic)
    {
        store.release = release;
        store.level = level;
    }
    // A store that passes both tests counts with its product values.
    store.product = flasher.IsProductVarnexPresent(image, &release, &level, false);
    if (store.product)
    {
        store.release = release;
        store.level = level;
    }
    return store;
}

void LogReleaseLevels(CLog* log, const StoreClass& cur, const StoreClass& fresh,
                      IROMImage& current, IROMImage& file)
{
    LogLine(log, 3,
            "Varnex Release Level: " + ToHex(cur.level, 2) + "(Current) v.s." +
                ToHex(fresh.level, 2) + "(File)");
    LogLine(log, 3, "   NOTES: GENERIC_DEFAULT = 0, GENERIC_POPULATED = 1 ");
    LogLine(log, 3, "          PRODUCT_DEFAULT = 2 ,PRODUCT_POPULATED = 3 ");
    LogLine(log, 3,
            "Varnex Release Version: " + current.GetVarnexVersion() + "(Current) v.s. " +
                file.GetVarnexVersion() + "(File)");
}

constexpr int32_t kNoneToNone = 0;
constexpr int32_t kNoneToGenericPopulated = 1;
constexpr int32_t kNoneToGenericDefault = 2;
constexpr int32_t kNoneToProductAny = 3;
constexpr int32_t kNotNoneToNone = 4;

// The flash type when the EEPROM holds no Varnex block.
int32_t TypeIntoEmpty(const StoreClass& fresh, CLog* log)
{
    if (!fresh.generic && !fresh.product)
    {
        LogLine(log, 3, "Varnex info: No Varnex be detected in file and EEPROM.");
        return kNoneToNone;
    }
    if (fresh.generic)
    {
        return fresh.level == kGenericPopulated ? kNoneToGenericPopulated : kNoneToGenericDefault;
    }
    if (fresh.level == kProductDefault || fresh.level == kProductPopulated)
    {
        return kNoneToProductAny;
    }
    return kVarnexFlashTypeUnknown;
}

// The flash types of one pair of levels: for a file release not newer than
// the EEPROM's and for a newer one, then the same two when merging.
struct TypeChoice
{
    int32_t same;
    int32_t newer;
    int32_t mergeSame;
    int32_t mergeNewer;
};

constexpr TypeChoice Always(int32_t type)
{
    return {type, type, type, type};
}

constexpr TypeChoice ByRelease(int32_t same, int32_t newer)
{
    return {same, newer, same, newer};
}

// Rows: the EEPROM store's level; columns: the file's. The numbers are the
// ids of VarnexFlashTypes().
constexpr std::array<std::array<TypeChoice, 4>, 4> kTypeByLevels = {{
    //  file: GENERIC_DEFAULT   GENERIC_POPULATED  PRODUCT_DEFAULT      PRODUCT_POPULATED
    {{ByRelease(5, 6), Always(7), Always(9), Always(10)}},                // GENERIC_DEFAULT
    {{ByRelease(11, 12), ByRelease(13, 14), Always(9), Always(10)}},      // GENERIC_POPULATED
    {{Always(15), Always(15), TypeChoice{16, 19, 18, 18}, Always(20)}},   // PRODUCT_DEFAULT
    {{Always(15), Always(15), Always(21), TypeChoice{17, 17, 22, 23}}},   // PRODUCT_POPULATED
}};

// The flash type when the EEPROM holds a Varnex block.
int32_t TypeOverStore(const StoreClass& cur, const StoreClass& fresh, bool merge)
{
    if (!fresh.hasBlock)
    {
        return kNotNoneToNone;
    }
    if (cur.level >= kTypeByLevels.size() || fresh.level >= kTypeByLevels[0].size())
    {
        return kVarnexFlashTypeUnknown;
    }
    const TypeChoice& choice = kTypeByLevels[cur.level][fresh.level];
    const bool newer = fresh.release > cur.release;
    if (merge)
    {
        return newer ? choice.mergeNewer : choice.mergeSame;
    }
    return newer ? choice.newer : choice.same;
}
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
    CLog* log = m_services.log();
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
                if (obd && NotEmpty(GetObdField(*obd, SerialNumber())) &&
                    GetObdField(*obd, Number699()).find("699") != std::string::npos)
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
                if (obd && NotEmpty(GetObdField(*obd, MarketingName())) &&
                    GetObdField(*obd, Number699()).find("699") != std::string::npos)
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
    const bool merge = m_settings.mergeVarnex;
    const StoreClass fresh = ClassifyStore(*this, newImage);
    const StoreClass cur = ClassifyStore(*this, current);
    if (cur.hasBlock && fresh.hasBlock)
    {
        LogReleaseLevels(log, cur, fresh, *current, *newImage);
    }
    const int32_t type = cur.hasBlock ? TypeOverStore(cur, fresh, merge) : TypeIntoEmpty(fresh, log);
    if (type == kNoneToGenericDefault && IsVerbose())
    {
        m_services.userInterface()->ShowMessage(
            1, "\n         This board will not be tracked by the Korvan board-tracking "
               "service (boards.korvan.example)\n"
               "         until a valid OBD data (SN and KRPN) is programmed.");
    }
    if (type == kVarnexFlashTypeUnknown)
    {
        LogLine(log, 3, "ERROR: Cannot recognize the Varnex Flash type.");
    }
    LogLine(log, 3, "VARNEX_FLASH_TYPE: " + ToHex(static_cast<uint32_t>(type), 2));
    return type;
}
