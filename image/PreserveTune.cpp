#include "image/IPreserveTune.h"

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"
#include "image/PreservationTable.h"

#include <string>

namespace
{
using namespace preservation;

void Note(CLog* log, const std::string& text)
{
    if (log != nullptr)
    {
        *log << LogLevel(3) << text << LogEndl;
    }
}

std::string RegisterFailure(uint32_t registerAddress, uint32_t status)
{
    const std::string start = "Preserved register 0x" + ToHex(registerAddress, 8) + " find fail : ";
    switch (status)
    {
    case kPreserveRegisterNotFound:
        return start + "STATUS_NOT_FOUND_REGVALUE.";
    case kPreserveEntryFlagsInvalid:
        return start + "STATUS_NOT_FOUND_PRESERVE.";
    default:
        return start + "Unkown Status.";
    }
}

std::string DataFailure(uint8_t dataId, uint32_t status)
{
    const std::string id = "Preserved Data ID " + FormatNumber(dataId, 2);
    switch (status)
    {
    case kPreserveDataIdNotFound:
        return id + " find fail : STATUS_NOT_FOUND_DATA_ID.";
    case kPreserveTableNotFound:
        return "Preservation Table find fail : STATUS_NOT_FOUND_PRESERVE_TABLE.";
    default:
        return id + " find fail : Unkown Status.";
    }
}

// True when the bytes [offset, offset + size) of the image as its callers see
// it (past the window) are loaded. A table entry pointing past the end would
// otherwise make a tuning write grow the image.
bool IsInsideImage(IROMImage* image, uint64_t offset, uint64_t size)
{
    const uint64_t loaded = image->GetLoadedSize();
    const uint64_t window = image->GetWindowOffset();
    return window <= loaded && RangeFits(offset, size, loaded - window);
}

std::string ControlFailure(uint32_t entry)
{
    return "Preservation control entry " + FormatNumber(entry, 2) +
           " invlaid flag : STATUS_CTRL_FLAG_ERROR.";
}
} // namespace

class CPreserveTuneImpl : public CReferenceCountImpl, public IPreserveTune
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CPreserveTuneImpl(uint8_t ramStrap) : m_ramStrap(ramStrap) {}

    int32_t GetLowestPreservedOffset(IROMImage* image) override
    {
        const int32_t table = image->GetPreservationTableOffset();
        if (table == -1)
        {
            return -1;
        }
        if (image->GetByte(table + kVersion) < kFlagsVersion)
        {
            return table;
        }
        uint32_t lowest = 0xFFFFFFFF;
        for (uint32_t i = 0; i < image->GetPreservationEntryCount(); ++i)
        {
            const int32_t entry = image->GetPreservationEntryOffset(i);
            if (entry == -1)
            {
                break;
            }
            const uint16_t start = image->GetWord(entry);
            if (start != 0 && start < lowest)
            {
                lowest = start;
            }
        }
        return static_cast<int32_t>(lowest);
    }

    bool FindRegister(IROMImage* image, uint32_t registerAddress, uint32_t& value,
                      CLog* log) override
    {
        const uint32_t status =
            image->GetPreservedRegisterValue(image, m_ramStrap, registerAddress, value);
        if (status != kPreserveOk)
        {
            Note(log, RegisterFailure(registerAddress, status));
        }
        return status == kPreserveOk;
    }

    bool TuneRegister(IROMImage* image, const PreservedRegisterTune& tune, CLog* log) override
    {
        uint32_t mask = 0xFFFFFFFF;
        uint32_t value = tune.value;
        if (tune.lowestBit != 0xFF && tune.highestBit != 0xFF)
        {
            // A range outside the register or upside down names no bits; it
            // is refused rather than shifted by 32 or more.
            if (tune.highestBit > 31 || tune.lowestBit > tune.highestBit)
            {
                Note(log, "Preserved register 0x" + ToHex(tune.registerAddress, 8) +
                              " tune fail : invalid bit range.");
                return false;
            }
            mask = (0xFFFFFFFFu >> (31 - tune.highestBit)) & (0xFFFFFFFFu << tune.lowestBit);
            value = (value << tune.lowestBit) & mask;
        }
        const uint32_t status = image->TunePreservedRegisterValue(
            image, m_ramStrap, tune.registerAddress, value, mask, tune.operation);
        if (status != kPreserveOk)
        {
            Note(log, RegisterFailure(tune.registerAddress, status));
            return false;
        }
        image->FixPCIBlockChecksum(0);
        return true;
    }

    bool FindData(IROMImage* image, PreservedDataTune& tune, CLog* log) override
    {
        PreservedDataRecord record;
        record.dataId = tune.dataId;
        const uint32_t status = image->FindPreservedData(image, record);
        if (status != kPreserveOk)
        {
            Note(log, DataFailure(tune.dataId, status));
            return false;
        }
        tune.offset = record.offset;
        tune.size = record.size;
        m_lastEntry = record.entryIndex;
        return true;
    }

    bool TuneData(IROMImage* image, PreservedDataTune& tune, const uint8_t* source,
                  CLog* log) override
    {
        const uint32_t size = tune.size;
        PreservedDataTune found = tune;
        if (!FindData(image, found, log))
        {
            return false;
        }
        tune.offset = found.offset;
        if (found.size < size)
        {
            Note(log, "Preserved Data ID " + FormatNumber(tune.dataId, 2) +
                          " tune fail : STATUS_DATA_SIZE_OVERFLOW.");
            return false;
        }
        if (!IsInsideImage(image, found.offset, size))
        {
            Note(log, "Preserved Data ID " + FormatNumber(tune.dataId, 2) +
                          " tune fail : block lies outside the image.");
            return false;
        }
        // The flags are checked before anything is written, so a refused
        // tuning leaves the image as it was.
        const uint8_t flags = image->GetPreservationEntryFlags(m_lastEntry);
        if (flags == kNoFlags)
        {
            Note(log, ControlFailure(m_lastEntry));
            return false;
        }
        const uint8_t control = image->GetPreservationControlByte();
        if (control == kNoFlags)
        {
            Note(log, ControlFailure(255));
            return false;
        }
        image->WriteBlock(source, static_cast<int32_t>(found.offset), size);
        image->SetPreservationEntryFlags(m_lastEntry, flags & ~kFlagChanged);
        image->SetPreservationEntryFlags(control,
                                         image->GetPreservationEntryFlags(control) & ~kFlagChanged);
        image->FixPCIBlockChecksum(0);
        return true;
    }

    // True when the table is of a tunable version and some entry is tunable.
    virtual bool HasTunableEntries(IROMImage* image)
    {
        const int32_t table = image->GetPreservationTableOffset();
        if (table == -1 || image->GetByte(table + kVersion) < kFirstVersion)
        {
            return false;
        }
        for (uint32_t i = 0; i < image->GetPreservationEntryCount(); ++i)
        {
            const uint8_t flags = image->GetPreservationEntryFlags(i);
            if (flags != kNoFlags && (flags & (kFlagTunable | kFlagScriptRange)) != 0)
            {
                return true;
            }
        }
        return false;
    }

private:
    uint8_t m_ramStrap;
    uint32_t m_lastEntry = 0;
};

CRefPtr<IPreserveTune> IPreserveTune::Create(IDisplayAdapter* adapter)
{
    return CreateForStraps(adapter->ReadStraps(0));
}

CRefPtr<IPreserveTune> IPreserveTune::CreateForStraps(uint32_t strapWord0)
{
    return CRefPtr<IPreserveTune>(
        new CPreserveTuneImpl(static_cast<uint8_t>((strapWord0 >> 2) & 0xF)));
}
