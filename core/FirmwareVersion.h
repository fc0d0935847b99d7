#pragma once
// A firmware version string unpacked into named fields by a layout table.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct FieldIdDescriptor
{
    int32_t FieldID;
    int32_t dataType; // 0 number kept as hexadecimal text, 1 text
    int32_t hidden;   // non-zero keeps the field out of the version text
    const char* name;
};

// Takes bitCount bits of component componentIndex from bit sourceShift and
// places them into the field at bit destinationShift.
struct VersionFieldLayout
{
    FieldIdDescriptor field;
    uint8_t destinationShift;
    uint8_t componentIndex;
    uint8_t sourceShift;
    uint8_t bitCount;
};

struct VersionField
{
    FieldIdDescriptor descriptor;
    std::string text;
};

using VersionLayout = std::vector<VersionFieldLayout>;

// The eight named fields, in FieldID order.
extern const std::array<FieldIdDescriptor, 8> kFirmwareVersionFields;
// The layout of five-component version strings.
extern const VersionLayout FirmwareVersionLayout;

class CFirmwareVersion
{
public:
    enum ReleaseKind
    {
        Emulation = 0,
        BringUp = 1,
        Production = 2,
    };

    // Never throws on a malformed string: missing components end the parse and
    // leave the later fields unset (see IsComplete).
    CFirmwareVersion(std::string version, VersionLayout layout);

    int GetReleaseKind() const;
    std::string GetReleaseKindText() const;
    bool IsEmulation() const { return GetReleaseKind() == Emulation; }
    bool IsBringUp() const { return GetReleaseKind() == BringUp; }
    bool IsProduction() const { return GetReleaseKind() == Production; }

    std::string GetVersionString() const;
    // Numeric field: the other's value minus this one's; text field: this
    // text compared with the other's.
    int32_t Compare(const CFirmwareVersion& other, const std::string& name) const;
    // The key field's comparison for this release kind, or 0x7FFFFFFF when any
    // field that is not ignored differs.
    int32_t CompareForUpdate(const CFirmwareVersion& other) const;

    std::string GetFieldText(const std::string& name) const;
    uint32_t GetFieldValue(const std::string& name) const;
    size_t FindOrAddField(const std::string& name);

    // False when the string had too few components for the layout; the reason
    // is in GetParseMessage.
    bool IsComplete() const { return m_message.empty(); }
    const std::string& GetParseMessage() const { return m_message; }

private:
    void Parse();
    const VersionField* FindField(const std::string& name) const;

    std::vector<VersionField> m_fields;
    VersionLayout m_layout;
    std::string m_message;
    std::string m_version;
};
