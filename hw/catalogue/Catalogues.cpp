#include "core/Singleton.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <map>
#include <utility>

CDisplayAdapterType::CDisplayAdapterType(const AdapterCatalogueRecord& record)
    : vendorId(record.vendorId), deviceId(record.deviceId), deviceKind(record.deviceKind),
      registerDeviceIdFlag(record.registerDeviceIdFlag), reservedFlag9(record.reservedFlag9),
      name(record.name), reservedFlag10(record.reservedFlag10),
      reservedFlag11(record.reservedFlag11), romTypeFromStraps(record.romTypeFromStraps),
      eepromStraps(record.eepromStraps), featureMask(record.featureMask), flagA(record.flagA),
      masksC040(record.masksC040), ieee1394Guid(record.ieee1394Guid), flagB(record.flagB),
      flagC(record.flagC), secondaryDevId(record.secondaryDevId)
{
}

CDisplayAdapterType CDisplayAdapterType::CreateUnknown(uint16_t vendorId, uint16_t deviceId,
                                                       const std::string& name)
{
    CDisplayAdapterType type;
    type.vendorId = vendorId;
    type.deviceId = deviceId;
    type.name = name;
    type.reservedFlag10 = 1;
    type.reservedFlag11 = 1;
    return type;
}

CBoardType::CBoardType(const BoardCatalogueRecord& record)
    : boardId(record.boardId), vendorId(record.vendorId), deviceId(record.deviceId),
      revision(record.revision), secondRevision(record.secondRevision), name(record.name)
{
}

namespace
{
// A catalogue: the static rows copied into an ordered map once, looked up by
// value.
template <class Interface, class Key, class Value, class Record>
class CCatalogueImpl : public CReferenceCountImpl, public Interface
{
public:
    template <class KeyOf> CCatalogueImpl(std::span<const Record> records, KeyOf keyOf)
    {
        for (const Record& record : records)
        {
            m_entries.emplace(keyOf(record), Value(record));
        }
    }

protected:
    void Lookup(Value& value, const Key& key) const
    {
        value = Value();
        if (const auto found = m_entries.find(key); found != m_entries.end())
        {
            value = found->second;
        }
    }
    void ListAll(std::vector<Value>& values) const
    {
        values.clear();
        for (const auto& [key, value] : m_entries)
        {
            values.push_back(value);
        }
    }

private:
    std::map<Key, Value> m_entries;
};

using AdapterKey = std::pair<uint16_t, uint16_t>;

class CDisplayAdapterDatabaseImpl
    : public CCatalogueImpl<IDisplayAdapterDatabase, AdapterKey, CDisplayAdapterType,
                            AdapterCatalogueRecord>
{
public:
    CDisplayAdapterDatabaseImpl()
        : CCatalogueImpl(GetAdapterCatalogueRecords(),
                         [](const AdapterCatalogueRecord& r) {
                             return AdapterKey{r.vendorId, r.deviceId};
                         })
    {
    }
    ROMVISE_REFCOUNT_FORWARD
    void GetAdapterType(CDisplayAdapterType& type, uint16_t vendorId, uint16_t deviceId) override
    {
        Lookup(type, {vendorId, deviceId});
    }
    void GetAdapterTypes(std::vector<CDisplayAdapterType>& types) override { ListAll(types); }
};

class CBoardDatabaseImpl
    : public CCatalogueImpl<IBoardDatabase, uint16_t, CBoardType, BoardCatalogueRecord>
{
public:
    CBoardDatabaseImpl()
        : CCatalogueImpl(GetBoardCatalogueRecords(),
                         [](const BoardCatalogueRecord& r) { return r.boardId; })
    {
    }
    ROMVISE_REFCOUNT_FORWARD
    void GetBoardType(CBoardType& type, uint16_t boardId) override { Lookup(type, boardId); }
    void GetBoardTypes(std::vector<CBoardType>& types) override { ListAll(types); }
};
} // namespace

IDisplayAdapterDatabase* CreateDisplayAdapterDatabase()
{
    return new CDisplayAdapterDatabaseImpl();
}

IBoardDatabase* CreateBoardDatabase()
{
    return new CBoardDatabaseImpl();
}

CRefPtr<IBoardDatabase> GetBoardDatabase()
{
    static CSingletonHolder<IBoardDatabase> holder(ESingletonSlot::BoardCatalogue);
    return CRefPtr<IBoardDatabase>(GetOrCreateSingleton(holder, CreateBoardDatabase));
}
