#pragma once
// The Varnex objects whose record has a fixed layout. Each reads and writes its
// fields inside the object's header and body (one representation), and a
// parsed object's size must equal its record's length.

#include "varnex/VarnexObject.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// IMG: the store's version text and the PCI IDs it was made for.
class CVarnexImageImgObject : public CVarnexImageObject
{
public:
    static constexpr std::string_view kFormat = "3s2bwb16b4w32b";
    CVarnexImageImgObject(std::span<const uint8_t> image, uint16_t offset);

    // Up to the first zero byte of the 16-byte field; empty without data.
    std::string GetVersionText() const;
    uint16_t GetDeviceId() const;
    uint16_t GetVendorId() const;
    uint16_t GetSubsystemId() const;
    uint16_t GetSubsystemVendorId() const;
    // The byte at offset 32 is 1: the ID checks are waived.
    bool IsIdCheckWaived() const;

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;
};

// OBD: board data. Persistent across updates of the same major version.
class CVarnexImageObdObject : public CVarnexImagePersistentObject
{
public:
    static constexpr std::string_view kFormat = "3s2bwbd116b";
    static constexpr size_t kProductNumberLength = 20;
    CVarnexImageObdObject(std::span<const uint8_t> image, uint16_t offset);

    // The 20 characters of BoardProductPartNumber.
    std::array<uint8_t, kProductNumberLength> GetProductNumberField() const;
    // More than 20 characters prints "Error: Invalid board product number (too
    // big)" on standard output and changes nothing; otherwise the field is
    // zeroed and the characters copied to its start.
    bool SetBoardProductNumber(std::span<const uint8_t> characters);
    // The persistent merge, except that a blank old product number gives way
    // to the new object's.
    bool MergeFrom(const CVarnexImageObject& old, CLog* log) override;

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;
};

// OEM: OEM data, body only, persistent.
class CVarnexImageOemObject : public CVarnexImagePersistentObject
{
public:
    CVarnexImageOemObject(std::span<const uint8_t> image, uint16_t offset);
    // Versions are not compared: only a body that would shrink is refused.
    bool CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose, CLog* log) const override;
    // The old body, fitted to the new length, whatever the versions.
    bool MergeFrom(const CVarnexImageObject& old, CLog* log) override;
};

struct VarnexPolicyEntry
{
    uint8_t policy = 0;
    uint8_t attribute = 0;
    uint32_t valueMilliwatts = 0;
};

// PPO: the power-policy override table, up to 16 entries.
class CVarnexImagePpoObject : public CVarnexImagePersistentObject
{
public:
    static constexpr std::string_view kFormat =
        "3s2bwb4b2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd4b";
    static constexpr uint32_t kMaxEntries = 16;
    static constexpr uint8_t kPolicyTgp = 1;
    static constexpr uint8_t kPolicyInvalid = 2;
    static constexpr uint8_t kAttributeRated = 2;
    static constexpr uint8_t kAttributeInvalid = 5;

    CVarnexImagePpoObject(std::span<const uint8_t> image, uint16_t offset);

    void PrintPolicies(CLog* log) const;
    void PrintHeader(CLog* log) const;
    void AddHeader(CLog* log);
    bool AddPolicy(const std::string& policy, const std::string& attribute,
                   const std::string& value, CLog* log);
    bool DeletePolicy(const std::string& policy, const std::string& attribute, CLog* log);

    uint8_t GetTableVersion() const;
    // The entry count as stored (a corrupt table may say more than 16).
    uint8_t GetEntryCount() const;
    // The entries in use, at most 16.
    std::vector<VarnexPolicyEntry> GetEntries() const;

    static std::string GetPolicyName(uint32_t code);
    static std::string GetAttributeName(uint32_t code);
    static uint8_t ParsePolicyName(const std::string& text);
    static uint8_t ParseAttributeName(const std::string& text);

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;
};

// EEN: 26 ECC-enable words; the state is the parity of the first non-zero
// word (VarnexParity.h).
class CVarnexImageEenObject : public CVarnexImageObject
{
public:
    static constexpr std::string_view kFormat = "3s2bwb26d";
    static constexpr size_t kWordCount = 26;
    CVarnexImageEenObject(std::span<const uint8_t> image, uint16_t offset);

    std::array<uint32_t, kWordCount> GetWords() const;
    bool SetWords(const std::array<uint32_t, kWordCount>& words);

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;
};

// BBO: an ID, a revision and a 16-bit value.
class CVarnexImageBboObject : public CVarnexImageObject
{
public:
    static constexpr std::string_view kFormat = "3s2bwbbbw100b";
    CVarnexImageBboObject(std::span<const uint8_t> image, uint16_t offset);

    // Stores the low 8, 8 and 16 bits.
    bool SetValue(uint32_t id, uint32_t revision, uint32_t value);
    void GetValue(uint32_t& id, uint32_t& revision, uint32_t& value) const;

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;
};
