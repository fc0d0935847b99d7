#pragma once
// A Varnex object: the 8-byte header (tag, version, subversion, 16-bit size of
// the whole object, attribute) followed by the body. The header and the body
// are the object's one representation: typed subclasses read and write their
// fields inside these bytes, so every change reaches what is serialised.

#include "core/Log.h"
#include "core/RefCount.h"
#include "varnex/VarnexTag.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Format of the object header: tag characters, version, subversion, size,
// attribute.
inline constexpr std::string_view kVarnexHeaderFormat = "3s2bwb";
inline constexpr uint16_t kVarnexHeaderSize = 8;
// Sizes from this value on are refused by the store.
inline constexpr uint16_t kVarnexMaxObjectSize = 0x3000;

struct VarnexObjectHeader
{
    VarnexTag tag;
    uint8_t version = 0;
    uint8_t subversion = 0;
    uint16_t size = 0; // the whole object, header included
    uint8_t attribute = 0;

    bool operator==(const VarnexObjectHeader&) const = default;
};

// Unpacks the 8 bytes at the start of bytes; false when fewer are given.
bool UnpackVarnexHeader(std::span<const uint8_t> bytes, VarnexObjectHeader& header);
void PackVarnexHeader(const VarnexObjectHeader& header, std::span<uint8_t, 8> bytes);

class CVarnexImageObject : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // Parses the object at offset in image. A header whose tag is not the
    // expected one, whose size is below 8 or at least 0x3000, or which runs past
    // the end of image leaves an empty object: zero header, no body.
    CVarnexImageObject(const VarnexTag& expected, std::span<const uint8_t> image, uint16_t offset);
    ~CVarnexImageObject() override = default;

    // A copy of the body.
    virtual std::vector<uint8_t> GetData() const;
    // Parses the object again from the start of bytes with its own tag. When
    // the bytes do not hold such an object, nothing changes and the result is
    // false.
    virtual bool Reparse(std::span<const uint8_t> bytes);
    // The body becomes data and the size its length + 8. A body that would
    // make the object 0x3000 bytes or more, or that does not match the
    // class's record length, is refused, changing nothing.
    virtual bool SetData(std::span<const uint8_t> data);
    // Fills the body with the clear byte (0xFF for EEN and PGM, else 0).
    virtual void Clear();
    // The body is not empty.
    virtual bool HasData() const;
    // Writes header and body at offset in output: appended when offset equals
    // output's length, else written over the bytes there. False, writing
    // nothing, when the bytes would not lie inside output.
    virtual bool Serialize(std::vector<uint8_t>& output, uint16_t offset) const;
    // Whether this object, from a new image, may replace old in a merge.
    // mayLose becomes false when old's data carries over whole and true when
    // the transition needs the user's leave because data may be lost; a refusal
    // leaves it as it was. Every class decides for itself (VarnexMergeRules.cpp).
    virtual bool CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose, CLog* log) const;
    // Takes over what this class keeps of old's data; old is only read. The
    // base keeps nothing: the new object stays as it is.
    virtual bool MergeFrom(const CVarnexImageObject& old, CLog* log);

    const VarnexObjectHeader& GetHeader() const { return m_header; }
    const VarnexTag& GetTag() const { return m_header.tag; }
    uint8_t GetVersion() const { return m_header.version; }
    uint8_t GetSubversion() const { return m_header.subversion; }
    uint16_t GetSize() const { return m_header.size; }
    uint8_t GetAttribute() const { return m_header.attribute; }
    // Header and body as one byte vector (what Serialize writes).
    std::vector<uint8_t> GetBytes() const;
    // The record length of a pack format, 0 for a bad format.
    static size_t RecordLength(std::string_view format);

protected:
    // Whether a parsed header suits this class; typed classes demand that the
    // size equals their record's length. Called after every parse.
    virtual bool IsAcceptableLayout(const VarnexObjectHeader& header) const;
    // Parses into this object; false leaves it unchanged.
    bool ParseInto(const VarnexTag& expected, std::span<const uint8_t> image, uint64_t offset);
    // Sets the body while the header's size follows; used by typed setters.
    void ReplaceBody(std::vector<uint8_t> body);
    // Old's body cut to, or padded with zero bytes up to, this body's length.
    std::vector<uint8_t> BodyFittedFrom(const CVarnexImageObject& old) const;
    // Called by constructors of subclasses whose layout rule is stricter than
    // the base's, once their vtable is in place.
    void RefuseUnacceptableLayout();
    // The typed record of format read from header and body, zero-extended to
    // the record's length; all zero for a bad format or an object without data.
    std::vector<int32_t> ReadRecord(std::string_view format) const;
    // Packs values by format over header and body and keeps the bytes after the
    // header as the new body (grown to the record's length when shorter). The
    // header itself stays. False for an object without data or a bad format.
    bool WriteRecord(std::string_view format, std::span<const int32_t> values);

private:
    VarnexTag m_expectedTag;
    VarnexObjectHeader m_header;
    std::vector<uint8_t> m_body;
};

// Keeps its old body across an update of the same major version; Clear does
// nothing. Used as is for ECC objects.
class CVarnexImagePersistentObject : public CVarnexImageObject
{
public:
    using CVarnexImageObject::CVarnexImageObject;
    void Clear() override {}
    // Same major version: allowed when the subversion does not go back and
    // the body does not shrink. A newer major version is allowed but may lose
    // data; an older one is refused.
    bool CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose, CLog* log) const override;
    // Same major version: the old body is kept, fitted to the new length. A
    // newer major version discards the old data.
    bool MergeFrom(const CVarnexImageObject& old, CLog* log) override;
};
