// The OBD object's board data by field: read, compared, printed and copied
// from the adapter's store into a new one.

#include "core/TextHelpers.h"
#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "flasher/VarnexErrorGuard.h"
#include "flasher/VarnexStatus.h"
#include "varnex/ObdFields.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
// Board data padded with blanks or with zero bytes is the same data.
std::string TrimmedForCompare(const std::string& text)
{
    const size_t end = text.find_last_not_of(std::string(" \t\r\n\v\f\0", 7));
    return TrimWhitespace(end == std::string::npos ? std::string() : text.substr(0, end + 1));
}

std::string UpToZero(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

// A field as the user reads it: the zero bytes that fill a text field's
// unused end are no characters to print on the console or into a log file.
std::string ShownText(const std::string& text)
{
    return TrimWhitespace(UpToZero(text));
}
} // namespace

bool CFlasherImpl::PrintOBDFieldDiffs(CVarnexImageObject* newObd, CVarnexImageObject* currentObd,
                                      std::ostream& out)
{
    if (!newObd || !currentObd)
    {
        return true;
    }
    bool same = true;
    for (const ObdField& field : ObdFields())
    {
        const std::string fresh = TrimmedForCompare(GetObdField(*newObd, field));
        const std::string cur = TrimmedForCompare(GetObdField(*currentObd, field));
        if (fresh != cur)
        {
            same = false;
            out << "  " << field.name << ": " << UpToZero(fresh) << " (File) v.s. " << UpToZero(cur)
                << " (Current)" << std::endl;
        }
    }
    return same;
}

bool CFlasherImpl::IsOBDFieldsMatched(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                      bool backup, std::ostream& out)
{
    try
    {
        CRefPtr<CVarnexImage> fresh = ReadVarnexObject(newImage, backup);
        CRefPtr<CVarnexImage> cur = ReadVarnexObject(current, backup);
        if (!fresh || !cur)
        {
            m_services.userInterface()->ShowMessage(1, "Varnex image is not present");
            return false;
        }
        if (!fresh->IsValid() || !cur->IsValid())
        {
            m_services.userInterface()->ShowMessage(1, "Invalid Varnex image");
            return true;
        }
        CVarnexImageObject* newObd = fresh->FindObject(kObdTag);
        if (!newObd)
        {
            return true;
        }
        const bool matched = PrintOBDFieldDiffs(newObd, cur->FindObject(kObdTag), out);
        out << std::endl;
        return matched;
    }
    catch (const std::exception&)
    {
        out << "ERROR: "
            << "CFlasherImpl::IsOBDFieldsMatched" << std::endl;
        return true;
    }
}

void CFlasherImpl::PrintOutOBDFields(CRefPtr<IROMImage> image, bool backup, std::ostream& out)
{
    try
    {
        if (!image->HasNBSIObject(0x4952))
        {
            m_services.userInterface()->ShowMessage(1, "Varnex image is not present");
            return;
        }
        CRefPtr<CVarnexImage> store = ReadVarnexObject(image, backup);
        if (!store || !store->IsValid())
        {
            m_services.userInterface()->ShowMessage(1, "Invalid Varnex image");
            return;
        }
        PrintOBDObjectFields(store->FindObject(kObdTag), out);
    }
    catch (const std::exception&)
    {
        out << "ERROR: "
            << "CFlasherImpl::PrintOutOBDFields" << std::endl;
    }
}

void CFlasherImpl::PrintOBDObjectFields(CVarnexImageObject* obd, std::ostream& out)
{
    if (!obd)
    {
        return;
    }
    for (const ObdField& field : ObdFields())
    {
        out << field.name << " : " << ShownText(GetObdField(*obd, field)) << std::endl;
    }
}

int32_t CFlasherImpl::CopyVarnexImageObdObject(CRefPtr<CVarnexImage> newStore,
                                               CRefPtr<CVarnexImage> currentStore, bool /*flag*/,
                                               CLog* log)
{
    const char* const name = "CFlasherImpl::CopyVarnexImageObdObject";
    // A copy that did not complete is a failure for the caller.
    return RunGuardingStoreErrors(
        name, kVarnexNotCarried,
        [&]() -> int32_t
        {
            if (!newStore || !currentStore)
            {
                return kVarnexNotCarried;
            }
            if (!newStore->IsValid() || !currentStore->IsValid())
            {
                std::cerr << "ERROR: Invalid Varnex " << name << std::endl;
                return kVarnexNotCarried;
            }
            CVarnexImageObject* target = newStore->FindObject(kObdTag);
            CVarnexImageObject* source = currentStore->FindObject(kObdTag);
            if (!target || !source || target->GetVersion() != source->GetVersion() ||
                target->GetSubversion() != source->GetSubversion())
            {
                return kVarnexObdMismatch;
            }
            std::ostringstream before;
            PrintOBDObjectFields(target, before);
            LogLine(log, 3, "\nBefore Merging OBD:\n" + before.str() + "\nSource of OBD:");
            for (const ObdField& field : ObdFields())
            {
                const std::string text = GetObdField(*source, field);
                LogLine(log, 3, std::string(field.name) + " : " + ShownText(text));
                if (!SetObdField(*target, field, text))
                {
                    m_services.userInterface()->ShowMessage(1,
                                                            "ERROR: Fail to copy OBD info block");
                    LogLine(log, 3, "ERROR: Fail to copy OBD info block");
                    return kVarnexNotCarried;
                }
            }
            std::ostringstream after;
            PrintOBDObjectFields(target, after);
            LogLine(log, 3, "\nAFTER Merging OBD:\n" + after.str());
            newStore->UpdateDirectory();
            LogLine(log, 3, "Succeed to preserve Varnex OBD.");
            return kVarnexDone;
        });
}

int32_t CFlasherImpl::UpdateOBDFields(CRefPtr<CVarnexImage> store, const CsvSettings& settings,
                                      CLog* log)
{
    if (!store)
    {
        std::cout << "Invalid Varnex image." << std::endl;
        return kVarnexNoStore;
    }
    if (!store->IsValid())
    {
        PrintAndLog(log, "\nUpdate failed: Varnex is invalid.");
        return kVarnexRefused;
    }
    CVarnexImageObject* obd = store->FindObject(kObdTag);
    if (!obd)
    {
        PrintAndLog(log, "Update failed: Varnex does not have OBD Object.");
        return kVarnexRefused;
    }
    for (const ObdField& field : ObdFields())
    {
        const int32_t result = ApplyOBDSetting(*obd, settings, log, field.name);
        if (result != kVarnexDone)
        {
            return result;
        }
    }
    return kVarnexDone;
}

int32_t CFlasherImpl::ApplyOBDSetting(CVarnexImageObject& obd, const CsvSettings& settings,
                                      CLog* log, const char* fieldName)
{
    std::string value;
    if (!settings.FindCsvValue(fieldName, &value))
    {
        return kVarnexDone;
    }
    LogLine(log, 3, std::string(fieldName) + ": " + value);
    for (const ObdField& field : ObdFields())
    {
        if (std::string(field.name) == fieldName)
        {
            return SetObdField(obd, field, TrimWhitespace(value)) ? kVarnexDone : kVarnexRefused;
        }
    }
    return kVarnexDone;
}
