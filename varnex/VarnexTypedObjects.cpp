#include "varnex/VarnexTypedObjects.h"

#include "varnex/ObdFields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace
{

bool SizeMatchesRecord(const VarnexObjectHeader& header, std::string_view format)
{
    return header.size == CVarnexImageObject::RecordLength(format) ||
           header.size == 0; // an object whose parse failed
}

constexpr size_t kImgVersionAt = 7;
constexpr size_t kImgVersionLength = 16;
constexpr size_t kImgIdsAt = 23;
constexpr size_t kImgWaiverAt = 27;

// The OBD record's values: the header's seven, the build date as one, then
// one a body byte from the marketing name (body offset 4) on.
size_t ObdRecordIndex(const ObdField& field)
{
    return 8 + (field.offset - 4);
}

const ObdField& ProductNumber()
{
    return FindObdField("BoardProductPartNumber");
}

constexpr size_t kPpoVersionAt = 7;
constexpr size_t kPpoSizeAt = 8;
constexpr size_t kPpoEntrySizeAt = 9;
constexpr size_t kPpoCountAt = 10;
constexpr size_t kPpoEntriesAt = 11;

constexpr size_t kBboIdAt = 7;

} // namespace

// ---- IMG ----

CVarnexImageImgObject::CVarnexImageImgObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImageObject(VarnexTags::IMG, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImageImgObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return SizeMatchesRecord(header, kFormat);
}

std::string CVarnexImageImgObject::GetVersionText() const
{
    if (!HasData())
    {
        return {};
    }
    const auto values = ReadRecord(kFormat);
    std::string text;
    for (size_t i = 0; i < kImgVersionLength && values[kImgVersionAt + i] != 0; ++i)
    {
        text.push_back(static_cast<char>(values[kImgVersionAt + i]));
    }
    return text;
}

uint16_t CVarnexImageImgObject::GetDeviceId() const
{
    return static_cast<uint16_t>(ReadRecord(kFormat)[kImgIdsAt]);
}
uint16_t CVarnexImageImgObject::GetVendorId() const
{
    return static_cast<uint16_t>(ReadRecord(kFormat)[kImgIdsAt + 1]);
}
uint16_t CVarnexImageImgObject::GetSubsystemId() const
{
    return static_cast<uint16_t>(ReadRecord(kFormat)[kImgIdsAt + 2]);
}
uint16_t CVarnexImageImgObject::GetSubsystemVendorId() const
{
    return static_cast<uint16_t>(ReadRecord(kFormat)[kImgIdsAt + 3]);
}

bool CVarnexImageImgObject::IsIdCheckWaived() const
{
    return HasData() && ReadRecord(kFormat)[kImgWaiverAt] == 1;
}

// ---- OBD ----

CVarnexImageObdObject::CVarnexImageObdObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImagePersistentObject(VarnexTags::OBD, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImageObdObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return SizeMatchesRecord(header, kFormat);
}

std::array<uint8_t, CVarnexImageObdObject::kProductNumberLength>
CVarnexImageObdObject::GetProductNumberField() const
{
    const auto values = ReadRecord(kFormat);
    const size_t at = ObdRecordIndex(ProductNumber());
    std::array<uint8_t, kProductNumberLength> field{};
    for (size_t i = 0; i < kProductNumberLength; ++i)
    {
        field[i] = static_cast<uint8_t>(values[at + i]);
    }
    return field;
}

bool CVarnexImageObdObject::SetBoardProductNumber(std::span<const uint8_t> characters)
{
    if (characters.size() > kProductNumberLength)
    {
        std::cout << ProductNumber().tooBigText << std::endl;
        return false;
    }
    auto values = ReadRecord(kFormat);
    const size_t at = ObdRecordIndex(ProductNumber());
    for (size_t i = 0; i < kProductNumberLength; ++i)
    {
        values[at + i] = i < characters.size() ? characters[i] : 0;
    }
    return WriteRecord(kFormat, values);
}

// ---- OEM ----

CVarnexImageOemObject::CVarnexImageOemObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImagePersistentObject(VarnexTags::OEM, image, offset)
{
}

// ---- PPO ----

CVarnexImagePpoObject::CVarnexImagePpoObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImagePersistentObject(VarnexTags::PPO, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImagePpoObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return SizeMatchesRecord(header, kFormat);
}

std::string CVarnexImagePpoObject::GetPolicyName(uint32_t code)
{
    return code == kPolicyTgp ? "TGP" : "INVALID";
}

std::string CVarnexImagePpoObject::GetAttributeName(uint32_t code)
{
    static const char* const names[] = {"limitMin", "limitMax", "limitRated", "limitCurrent",
                                        "limitBattery"};
    return code < std::size(names) ? names[code] : "INVALID";
}

uint8_t CVarnexImagePpoObject::ParsePolicyName(const std::string& text)
{
    return text == "TGP" ? kPolicyTgp : kPolicyInvalid;
}

uint8_t CVarnexImagePpoObject::ParseAttributeName(const std::string& text)
{
    for (uint8_t code = 0; code < kAttributeInvalid; ++code)
    {
        if (text == GetAttributeName(code))
        {
            return code;
        }
    }
    return kAttributeInvalid;
}

uint8_t CVarnexImagePpoObject::GetTableVersion() const
{
    return static_cast<uint8_t>(ReadRecord(kFormat)[kPpoVersionAt]);
}

uint8_t CVarnexImagePpoObject::GetEntryCount() const
{
    return static_cast<uint8_t>(ReadRecord(kFormat)[kPpoCountAt]);
}

std::vector<VarnexPolicyEntry> CVarnexImagePpoObject::GetEntries() const
{
    const auto values = ReadRecord(kFormat);
    // A stored count above 16 would walk past the table.
    const uint32_t count =
        std::min<uint32_t>(static_cast<uint8_t>(values[kPpoCountAt]), kMaxEntries);
    std::vector<VarnexPolicyEntry> entries;
    for (uint32_t i = 0; i < count; ++i)
    {
        const size_t at = kPpoEntriesAt + 3 * i;
        entries.push_back({static_cast<uint8_t>(values[at]), static_cast<uint8_t>(values[at + 1]),
                           static_cast<uint32_t>(values[at + 2])});
    }
    return entries;
}

void CVarnexImagePpoObject::PrintHeader(CLog* log) const
{
    const auto values = ReadRecord(kFormat);
    auto field = [&](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(values[at])); };
    *log << "Header: " << LogEndl;
    *log << "    Version: " << field(kPpoVersionAt) << LogEndl;
    *log << "    Size: " << field(kPpoSizeAt) << LogEndl;
    *log << "    Entry size: " << field(kPpoEntrySizeAt) << LogEndl;
    *log << "    Entry count: " << field(kPpoCountAt) << LogEndl;
}

void CVarnexImagePpoObject::PrintPolicies(CLog* log) const
{
    PrintHeader(log);
    std::ostringstream message;
    message << "\n";
    bool first = true;
    for (const VarnexPolicyEntry& entry : GetEntries())
    {
        if (!first)
        {
            message << "\n";
        }
        first = false;
        message << "Policy Name: " << GetPolicyName(entry.policy) << "    "
                << "Override Attribute: " << GetAttributeName(entry.attribute) << "    "
                << "Override Value: " << entry.valueMilliwatts << "mW";
    }
    FlushMessageBuffer(message, log, 3);
}

void CVarnexImagePpoObject::AddHeader(CLog* log)
{
    *log << LogEndl << "Adding header." << LogEndl;
    auto values = ReadRecord(kFormat);
    values[kPpoVersionAt] = 16;
    values[kPpoSizeAt] = 4;
    values[kPpoEntrySizeAt] = 6;
    values[kPpoCountAt] = 0;
    WriteRecord(kFormat, values);
    PrintHeader(log);
}

namespace
{

// The usual prefix rules: 0x hexadecimal, a leading 0 octal, else decimal.
// Only a whole number that fits in 32 bits is accepted.
bool ParseUnsigned32(const std::string& text, uint32_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0])))
    {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull)
    {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

} // namespace

bool CVarnexImagePpoObject::AddPolicy(const std::string& policy, const std::string& attribute,
                                      const std::string& value, CLog* log)
{
    std::ostringstream message;
    message << "\n";
    if (!HasData())
    {
        message << "Error: Power Policy Table is missing.";
        FlushMessageBuffer(message, log, 3);
        return false;
    }
    if (GetTableVersion() == 0)
    {
        AddHeader(log);
    }
    const uint8_t policyCode = ParsePolicyName(policy);
    const uint8_t attributeCode = ParseAttributeName(attribute);
    uint32_t milliwatts = 0;
    if (policyCode == kPolicyInvalid)
    {
        message << "Error: Invalid policy name '" << policy << "'";
    }
    else if (attributeCode == kAttributeInvalid)
    {
        message << "Error: Invalid override attribute '" << attribute << "'";
    }
    else if (attributeCode != kAttributeRated)
    {
        message << "Error: Override attribute '" << attribute << "' can't be set";
    }
    else if (!ParseUnsigned32(value, milliwatts))
    {
        message << "Error: Invalid override value '" << value << "'";
    }
    if (message.str() != "\n")
    {
        FlushMessageBuffer(message, log, 3);
        return false;
    }

    auto values = ReadRecord(kFormat);
    const uint32_t count = static_cast<uint8_t>(values[kPpoCountAt]);
    const uint32_t used = std::min(count, kMaxEntries);
    uint32_t slot = used;
    for (uint32_t i = 0; i < used; ++i)
    {
        const size_t at = kPpoEntriesAt + 3 * i;
        if (static_cast<uint8_t>(values[at]) == policyCode &&
            static_cast<uint8_t>(values[at + 1]) == attributeCode)
        {
            *log << "Policy '" << policy << "' with override attribute '" << attribute
                 << "' already exist. Updating existing entry. " << LogEndl;
            slot = i;
            break;
        }
    }
    if (slot == used)
    {
        if (count > kMaxEntries - 1)
        {
            message << "Error: Power Policy Table is full.";
            FlushMessageBuffer(message, log, 3);
            return false;
        }
        values[kPpoCountAt] = static_cast<int32_t>(count + 1);
    }
    const size_t at = kPpoEntriesAt + 3 * slot;
    values[at] = policyCode;
    values[at + 1] = attributeCode;
    values[at + 2] = static_cast<int32_t>(milliwatts);
    return WriteRecord(kFormat, values);
}

bool CVarnexImagePpoObject::DeletePolicy(const std::string& policy, const std::string& attribute,
                                         CLog* log)
{
    std::ostringstream message;
    const uint8_t policyCode = ParsePolicyName(policy);
    const uint8_t attributeCode = ParseAttributeName(attribute);
    if (policyCode == kPolicyInvalid)
    {
        message << "Error: Invalid policy name '" << policy << "'";
    }
    else if (attributeCode == kAttributeInvalid)
    {
        message << "Error: Invalid override attribute '" << attribute << "'";
    }
    else if (attributeCode != kAttributeRated)
    {
        message << "Error: Override attribute '" << attribute << "' can't be deleted";
    }
    if (!message.str().empty())
    {
        FlushMessageBuffer(message, log, 3);
        return false;
    }
    PrintHeader(log);

    auto values = ReadRecord(kFormat);
    const uint32_t count =
        std::min<uint32_t>(static_cast<uint8_t>(values[kPpoCountAt]), kMaxEntries);
    if (count == 0)
    {
        message << "Error: Empty power policy override table ";
        FlushMessageBuffer(message, log, 3);
        return false;
    }
    uint32_t found = count;
    for (uint32_t i = 0; i < count; ++i)
    {
        const size_t at = kPpoEntriesAt + 3 * i;
        if (static_cast<uint8_t>(values[at]) == policyCode &&
            static_cast<uint8_t>(values[at + 1]) == attributeCode)
        {
            found = i;
            break;
        }
    }
    if (found == count)
    {
        message << "\nError: Policy '" << policy << "' with override attribute '" << attribute
                << "' not found.";
        FlushMessageBuffer(message, log, 3);
        return false;
    }
    for (uint32_t i = found; i + 1 < count; ++i)
    {
        for (size_t k = 0; k < 3; ++k)
        {
            values[kPpoEntriesAt + 3 * i + k] = values[kPpoEntriesAt + 3 * (i + 1) + k];
        }
    }
    for (size_t k = 0; k < 3; ++k)
    {
        values[kPpoEntriesAt + 3 * (count - 1) + k] = 0;
    }
    values[kPpoCountAt] = static_cast<int32_t>(count - 1);
    return WriteRecord(kFormat, values);
}

// ---- EEN ----

CVarnexImageEenObject::CVarnexImageEenObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImageObject(VarnexTags::EEN, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImageEenObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return SizeMatchesRecord(header, kFormat);
}

std::array<uint32_t, CVarnexImageEenObject::kWordCount> CVarnexImageEenObject::GetWords() const
{
    const auto values = ReadRecord(kFormat);
    std::array<uint32_t, kWordCount> words{};
    for (size_t i = 0; i < kWordCount; ++i)
    {
        words[i] = static_cast<uint32_t>(values[7 + i]);
    }
    return words;
}

bool CVarnexImageEenObject::SetWords(const std::array<uint32_t, kWordCount>& words)
{
    auto values = ReadRecord(kFormat);
    for (size_t i = 0; i < kWordCount; ++i)
    {
        values[7 + i] = static_cast<int32_t>(words[i]);
    }
    return WriteRecord(kFormat, values);
}

// ---- BBO ----

CVarnexImageBboObject::CVarnexImageBboObject(std::span<const uint8_t> image, uint16_t offset)
    : CVarnexImageObject(VarnexTags::BBO, image, offset)
{
    RefuseUnacceptableLayout();
}

bool CVarnexImageBboObject::IsAcceptableLayout(const VarnexObjectHeader& header) const
{
    return SizeMatchesRecord(header, kFormat);
}

bool CVarnexImageBboObject::SetValue(uint32_t id, uint32_t revision, uint32_t value)
{
    auto values = ReadRecord(kFormat);
    values[kBboIdAt] = static_cast<int32_t>(id & 0xFF);
    values[kBboIdAt + 1] = static_cast<int32_t>(revision & 0xFF);
    values[kBboIdAt + 2] = static_cast<int32_t>(value & 0xFFFF);
    return WriteRecord(kFormat, values);
}

void CVarnexImageBboObject::GetValue(uint32_t& id, uint32_t& revision, uint32_t& value) const
{
    const auto values = ReadRecord(kFormat);
    id = static_cast<uint32_t>(values[kBboIdAt]);
    revision = static_cast<uint32_t>(values[kBboIdAt + 1]);
    value = static_cast<uint32_t>(values[kBboIdAt + 2]);
}
