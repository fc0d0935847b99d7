#pragma once
// The three-letter tag that names a Varnex object, and the tags the system knows.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct VarnexTag
{
    // The zero tag: an unused directory entry.
    constexpr VarnexTag() = default;
    // Exactly three characters give those bytes; any other text gives FF FF FF.
    constexpr explicit VarnexTag(std::string_view text)
    {
        if (text.size() == 3)
        {
            bytes = {static_cast<uint8_t>(text[0]), static_cast<uint8_t>(text[1]),
                     static_cast<uint8_t>(text[2])};
        }
        else
        {
            bytes = {0xFF, 0xFF, 0xFF};
        }
    }
    constexpr static VarnexTag FromBytes(uint8_t b0, uint8_t b1, uint8_t b2)
    {
        VarnexTag tag;
        tag.bytes = {b0, b1, b2};
        return tag;
    }

    // The tag as one integer: byte 0 | byte 1 << 8 | byte 2 << 16.
    constexpr uint32_t ToInteger() const
    {
        return bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16);
    }
    constexpr bool IsZero() const { return bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0; }
    constexpr bool IsUnknown() const
    {
        return bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF;
    }
    // Neither the zero tag nor FF FF FF: a tag that can name an object.
    constexpr bool IsReal() const { return !IsZero() && !IsUnknown(); }

    constexpr bool operator==(const VarnexTag&) const = default;

    std::array<uint8_t, 3> bytes{0, 0, 0};
};

// Exactly three characters, whatever the bytes are.
std::string TagToString(const VarnexTag& tag);

namespace VarnexTags
{
inline constexpr VarnexTag ROM{"ROM"}; // the directory; also the raw form's magic
inline constexpr VarnexTag IMG{"IMG"};
inline constexpr VarnexTag OBD{"OBD"};
inline constexpr VarnexTag OEM{"OEM"};
inline constexpr VarnexTag PBL{"PBL"};
inline constexpr VarnexTag PPO{"PPO"};
inline constexpr VarnexTag ECC{"ECC"};
inline constexpr VarnexTag EEN{"EEN"};
inline constexpr VarnexTag BBO{"BBO"};
inline constexpr VarnexTag BBX{"BBX"};
inline constexpr VarnexTag PGM{"PGM"};
inline constexpr VarnexTag Zero{};
inline constexpr VarnexTag Unknown{"Unknown"};
} // namespace VarnexTags
