#pragma once
// A small bounded DER reader: enough of ASN.1 to walk a PKCS #7 SignedData to
// the issuer name of its first signer. Every element must lie inside its
// parent and inside the bytes given, lengths take at most four bytes, and
// nesting stops at a fixed depth; a tree that breaks any of these has no root.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ASN1Item
{
public:
    ASN1Item(const std::vector<uint8_t>& bytes, uint32_t start, uint8_t tag)
        : m_bytes(bytes), m_start(start), m_tag(tag)
    {
    }
    virtual ~ASN1Item() = default;
    ASN1Item(const ASN1Item&) = delete;
    ASN1Item& operator=(const ASN1Item&) = delete;

    uint8_t GetTag() const { return m_tag; }
    // The tag number (low five bits).
    uint8_t GetTagNumber() const { return m_tag & 0x1F; }
    uint32_t GetStart() const { return m_start; }
    uint32_t GetContentOffset() const { return m_contentOffset; }
    uint32_t GetContentLength() const { return m_contentLength; }
    const std::vector<std::unique_ptr<ASN1Item>>& GetChildren() const { return m_children; }
    const ASN1Item& Child(size_t index) const { return *m_children[index]; }
    size_t ChildCount() const { return m_children.size(); }

    // The content as an unsigned big-endian number; contents longer than
    // eight bytes give the largest value.
    uint64_t GetIntegerValue() const;
    // Dotted text of an OBJECT IDENTIFIER; an arc of more than four bytes
    // ends the text.
    std::string GetOIDText() const;
    std::string GetContentString() const;

private:
    friend class ASN1Handler;

    const std::vector<uint8_t>& m_bytes;
    uint32_t m_start;
    uint32_t m_contentOffset = 0;
    uint32_t m_contentLength = 0;
    uint8_t m_tag;
    std::vector<std::unique_ptr<ASN1Item>> m_children;
};

class ASN1Handler
{
public:
    // Parses the element at start; nothing of it may lie at or after limit.
    ASN1Handler(const std::vector<uint8_t>& bytes, uint32_t start, uint32_t limit);
    virtual ~ASN1Handler() = default;
    ASN1Handler(const ASN1Handler&) = delete;
    ASN1Handler& operator=(const ASN1Handler&) = delete;

    // Null when the bytes are no well-formed element.
    const ASN1Item* GetRoot() const { return m_root.get(); }

    // Deeper trees are refused; a SignedData needs about ten levels.
    static constexpr uint32_t kMaxDepth = 32;

private:
    bool ReadLength(uint32_t& cursor, uint32_t limit, uint32_t& length) const;
    std::unique_ptr<ASN1Item> ParseItem(uint32_t& cursor, uint32_t limit, uint32_t depth) const;

    const std::vector<uint8_t>& m_bytes;
    std::unique_ptr<ASN1Item> m_root;
};
