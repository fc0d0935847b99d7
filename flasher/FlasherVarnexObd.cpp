// The OBD object's board data by field: read, compared, printed and copied
// from the adapter's store into a new one.

#include "core/TextHelpers.h"
#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "flasher/ObdFields.h"
#include "flasher/VarnexErrorGuard.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr size_t kObdBodyLength = 120;

uint32_t HexDigitValue(char digit)
{
    if (digit >= 'A' && digit <= 'F')
    {
        return static_cast<uint32_t>(digit - 'A' + 10);
    }
    if (digit >= 'a' && digit <= 'f')
    {
        return static_cast<uint32_t>(digit - 'a' + 10);
    }
    return static_cast<uint8_t>(digit) & 0xFu;
}

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

const std::vector<ObdField>& ObdFields()
{
    static const std::vector<ObdField> fields = {
        {"BoardBuildDate", 0, 4, "Error: Invalid Board Build Date (too big)", true},
        {"MarketingName", 4, 24, "Error: Invalid marketing name (too big)"},
        {"BoardSerialNumber", 28, 16, "Error: Invalid board serial number (too big)"},
        {"MemoryManufacturer", 44, 1, "Error: Invalid Memory Vendor ID (too big)"},
        {"MemoryPartID", 45, 20, "Error: Invalid Memory Part ID (too big)"},
        {"MemoryDateCode", 65, 6, "Error: Invalid Memory Date Code (too big)"},
        {"BoardProductPartNumber", 71, 20, "Error: Invalid board product number (too big)"},
        {"BoardRevision", 91, 3, "Error: Invalid Board Revision (too big)"},
        {"BoardType", 94, 1, "Error: Invalid Board Type (too big)"},
        {"Board699PartNumber", 95, 20, "Error: Invalid board 699 number (too big)"},
    };
    return fields;
}

std::string GetObdField(const CVarnexImageObject& obd, const ObdField& field)
{
    std::vector<uint8_t> body = obd.GetData();
    body.resize(kObdBodyLength, 0);
    if (field.isDate)
    {
        const uint32_t value = body[0] | body[1] << 8 | body[2] << 16 | uint32_t{body[3]} << 24;
        if (value == 0)
        {
            return "0";
        }
        char text[16];
        std::snprintf(text, sizeof text, "%08X", value);
        return text;
    }
    return std::string(body.begin() + field.offset, body.begin() + field.offset + field.length);
}

bool SetObdField(CVarnexImageObject& obd, const ObdField& field, const std::string& text)
{
    const size_t longest = field.isDate ? 8 : field.length;
    if (text.size() > longest)
    {
        std::cout << field.tooBigText << std::endl;
        return false;
    }
    std::vector<uint8_t> body = obd.GetData();
    body.resize(std::max(body.size(), kObdBodyLength), 0);
    if (field.isDate)
    {
        // One hexadecimal digit a character: "20240305" becomes 0x20240305,
        // and the text read from a field gives its value back, A to F
        // included.
        uint32_t value = 0;
        for (char digit : text)
        {
            value = value << 4 | HexDigitValue(digit);
        }
        for (size_t i = 0; i < 4; ++i)
        {
            body[i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    else
    {
        std::fill(body.begin() + field.offset, body.begin() + field.offset + field.length, 0);
        std::copy(text.begin(), text.end(), body.begin() + field.offset);
    }
    return obd.SetData(body);
}

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
            GetUserInterface()->ShowMessage(1, "Varnex image is not present");
            return false;
        }
        if (!fresh->IsValid() || !cur->IsValid())
        {
            GetUserInterface()->ShowMessage(1, "Invalid Varnex image");
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
            GetUserInterface()->ShowMessage(1, "Varnex image is not present");
            return;
        }
        CRefPtr<CVarnexImage> store = ReadVarnexObject(image, backup);
        if (!store || !store->IsValid())
        {
            GetUserInterface()->ShowMessage(1, "Invalid Varnex image");
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
        name, 4,
        [&]() -> int32_t
        {
            if (!newStore || !currentStore)
            {
                return 4;
            }
            if (!newStore->IsValid() || !currentStore->IsValid())
            {
                std::cerr << "ERROR: Invalid Varnex " << name << std::endl;
                return 4;
            }
            CVarnexImageObject* target = newStore->FindObject(kObdTag);
            CVarnexImageObject* source = currentStore->FindObject(kObdTag);
            if (!target || !source || target->GetVersion() != source->GetVersion() ||
                target->GetSubversion() != source->GetSubversion())
            {
                return 12;
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
                    GetUserInterface()->ShowMessage(1, "ERROR: Fail to copy OBD info block");
                    LogLine(log, 3, "ERROR: Fail to copy OBD info block");
                    return 4;
                }
            }
            std::ostringstream after;
            PrintOBDObjectFields(target, after);
            LogLine(log, 3, "\nAFTER Merging OBD:\n" + after.str());
            newStore->UpdateDirectory();
            LogLine(log, 3, "Succeed to preserve Varnex OBD.");
            return 0;
        });
}

int32_t CFlasherImpl::UpdateOBDFields(CRefPtr<CVarnexImage> store, const CsvSettings& settings,
                                      CLog* log)
{
    if (!store)
    {
        std::cout << "Invalid Varnex image." << std::endl;
        return 4;
    }
    if (!store->IsValid())
    {
        LogLine(log, 3, "\nUpdate failed: Varnex is invalid.");
        std::cout << "\nUpdate failed: Varnex is invalid." << std::endl;
        return 5;
    }
    CVarnexImageObject* obd = store->FindObject(kObdTag);
    if (!obd)
    {
        LogLine(log, 3, "Update failed: Varnex does not have OBD Object.");
        std::cout << "Update failed: Varnex does not have OBD Object." << std::endl;
        return 5;
    }
    for (const ObdField& field : ObdFields())
    {
        const int32_t result = ApplyOBDSetting(*obd, settings, log, field.name);
        if (result != 0)
        {
            return result;
        }
    }
    return 0;
}

int32_t CFlasherImpl::ApplyOBDSetting(CVarnexImageObject& obd, const CsvSettings& settings,
                                      CLog* log, const char* fieldName)
{
    std::string value;
    if (!settings.FindCsvValue(fieldName, &value))
    {
        return 0;
    }
    LogLine(log, 3, std::string(fieldName) + ": " + value);
    for (const ObdField& field : ObdFields())
    {
        if (std::string(field.name) == fieldName)
        {
            return SetObdField(obd, field, TrimWhitespace(value)) ? 0 : 5;
        }
    }
    return 0;
}
