#include "core/FirmwareVersion.h"

#include "core/TextHelpers.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <stdexcept>

const std::array<FieldIdDescriptor, 8> kFirmwareVersionFields = {{
    {0, 1, 0, "Unused"},
    {1, 0, 0, "ChipSourceID"},
    {2, 0, 0, "CoreRevision"},
    {3, 0, 0, "ReleaseLevel"},
    {4, 0, 0, "BranchSourceID"},
    {5, 0, 0, "OEMBuildLevel"},
    {6, 0, 0, "CoreMinorRevision"},
    {7, 0, 0, "Core5xVersion"},
}};

namespace
{
const FieldIdDescriptor& Field(int id)
{
    return kFirmwareVersionFields[id];
}

// Hexadecimal as strtol reads it (blanks, a sign, stops at the first non-hex
// character), saturated to the signed 32-bit range.
int32_t ReadHex(const std::string& text)
{
    const long long value = std::strtoll(text.c_str(), nullptr, 16);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

std::string DataTypeText(int32_t dataType)
{
    return ToHex(static_cast<uint32_t>(dataType), 2);
}
} // namespace

const VersionLayout FirmwareVersionLayout = {
    {Field(2), 0, 0, 0, 8}, // CoreRevision
    {Field(1), 0, 1, 0, 8}, // ChipSourceID
    {Field(3), 0, 2, 0, 8}, // ReleaseLevel bits 0-7
    {Field(3), 8, 3, 5, 1}, // ReleaseLevel bit 8
    {Field(4), 0, 3, 0, 5}, // BranchSourceID
    {Field(5), 0, 4, 0, 8}, // OEMBuildLevel bits 0-7
    {Field(5), 8, 3, 6, 2}, // OEMBuildLevel bits 8-9
};

CFirmwareVersion::CFirmwareVersion(std::string version, VersionLayout layout)
    : m_layout(std::move(layout)), m_version(std::move(version))
{
    Parse();
}

void CFirmwareVersion::Parse()
{
    std::vector<std::string> components;
    SplitAtDelimiter(m_version, ".", components);
    for (const VersionFieldLayout& row : m_layout)
    {
        if (row.componentIndex >= components.size())
        {
            m_message += "Couldn't fully parse using descriptor: Version string invalid: Required "
                         "field index 0x" +
                         ToHex(row.componentIndex, 2) +
                         " is out of range in the provided string.\n";
            return;
        }
        VersionField& field = m_fields[FindOrAddField(row.field.name)];
        std::string& component = components[row.componentIndex];
        if (row.field.dataType == 1)
        {
            field.text = component;
            continue;
        }
        if (component.empty())
        {
            component.push_back('0'); // an empty component reads as 0
        }
        const uint32_t mask = 0xFFFFFFFFu >> ((32 - row.bitCount) % 32);
        const uint32_t source = static_cast<uint32_t>(ReadHex(component));
        const uint32_t part = ((source >> row.sourceShift) & mask) << row.destinationShift;
        uint32_t value = static_cast<uint32_t>(ReadHex(field.text));
        value = (value & ~(mask << row.destinationShift)) | part;
        field.text = ToHex(value, 2);
    }
}

const VersionField* CFirmwareVersion::FindField(const std::string& name) const
{
    const auto found =
        std::find_if(m_fields.begin(), m_fields.end(),
                     [&](const VersionField& f) { return name == f.descriptor.name; });
    return found == m_fields.end() ? nullptr : &*found;
}

size_t CFirmwareVersion::FindOrAddField(const std::string& name)
{
    if (const VersionField* field = FindField(name))
    {
        return static_cast<size_t>(field - m_fields.data());
    }
    const auto descriptor =
        std::find_if(kFirmwareVersionFields.begin(), kFirmwareVersionFields.end(),
                     [&](const FieldIdDescriptor& d) { return name == d.name; });
    if (descriptor == kFirmwareVersionFields.end())
    {
        throw std::runtime_error("Error - Field '" + name + "' is not a valid FieldID name.\n");
    }
    const char* start =
        descriptor->dataType == 0 ? "0" : (descriptor->dataType == 1 ? "" : "INVALID");
    m_fields.push_back({*descriptor, start});
    return m_fields.size() - 1;
}

std::string CFirmwareVersion::GetFieldText(const std::string& name) const
{
    const VersionField* field = FindField(name);
    if (!field)
    {
        throw std::runtime_error("Error - Field " + name + " does not exist.\n");
    }
    return field->text;
}

uint32_t CFirmwareVersion::GetFieldValue(const std::string& name) const
{
    return static_cast<uint32_t>(ReadHex(GetFieldText(name)));
}

int CFirmwareVersion::GetReleaseKind() const
{
    const VersionField* field = FindField("ReleaseLevel");
    if (!field)
    {
        throw std::runtime_error("Error - Unknown Firmware Version type!");
    }
    const uint32_t level = static_cast<uint32_t>(ReadHex(field->text));
    if (level == 0)
    {
        return Emulation;
    }
    if ((level & 0xFF) == 1)
    {
        return BringUp;
    }
    return Production; // every other value is 2 or more
}

std::string CFirmwareVersion::GetReleaseKindText() const
{
    static const char* const kTexts[] = {"Emulation VBIOS", "Bring-up VBIOS", "Production VBIOS"};
    return kTexts[GetReleaseKind()];
}

std::string CFirmwareVersion::GetVersionString() const
{
    // A version too short to hold a release level has no release kind; it is
    // written from its fields like any other.
    if (!m_version.empty() && FindField("ReleaseLevel") && IsBringUp())
    {
        return m_version;
    }
    std::string text;
    bool first = true;
    for (const VersionField& field : m_fields)
    {
        if (field.descriptor.dataType != 0 && field.descriptor.dataType != 1)
        {
            throw std::runtime_error("GetVersionString():: Unsupported dataType " +
                                     DataTypeText(field.descriptor.dataType) +
                                     ". Unable to parse.");
        }
        if (field.descriptor.hidden != 0)
        {
            continue;
        }
        text += (first ? "" : ".") + field.text;
        first = false;
    }
    return text;
}

int32_t CFirmwareVersion::Compare(const CFirmwareVersion& other, const std::string& name) const
{
    const VersionField* mine = FindField(name);
    const VersionField* theirs = other.FindField(name);
    if (!mine || !theirs)
    {
        throw std::runtime_error("Error - '" + name + "' field doesn't exist in both Versions.");
    }
    switch (mine->descriptor.dataType)
    {
    case 0:
        return static_cast<int32_t>(static_cast<uint32_t>(ReadHex(theirs->text)) -
                                    static_cast<uint32_t>(ReadHex(mine->text)));
    case 1:
        return mine->text.compare(theirs->text);
    default:
        throw std::runtime_error("Error - Cannot compare fields with dataType '" +
                                 DataTypeText(mine->descriptor.dataType) + "'.");
    }
}

int32_t CFirmwareVersion::CompareForUpdate(const CFirmwareVersion& other) const
{
    std::string key;
    std::vector<std::string> ignored;
    switch (GetReleaseKind())
    {
    case Emulation:
        key = "OEMBuildLevel";
        ignored = {"OEMBuildLevel"};
        break;
    case BringUp:
        key = "BranchSourceID";
        ignored = {"BranchSourceID"};
        break;
    default:
        key = "ReleaseLevel";
        ignored = {"OEMBuildLevel", "ReleaseLevel"};
        break;
    }
    const int32_t keyResult = Compare(other, key);
    for (const VersionField& field : m_fields)
    {
        const std::string name = field.descriptor.name;
        if (std::find(ignored.begin(), ignored.end(), name) == ignored.end() &&
            Compare(other, name) != 0)
        {
            return 0x7FFFFFFF;
        }
    }
    return keyResult;
}
