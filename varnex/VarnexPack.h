#pragma once
// The pack language: a format such as "3s2bwb" describes a little-endian byte
// record, element by element, and the routines below convert between such a
// record and an array of 32-bit values (one per element; a 64-bit element
// takes two values, low word first).
//
// A format is read item by item: an optional decimal repeat count (16-bit,
// wrapping; 0 or none means 1) and a letter:
//   b  1 byte, unpacked zero-extended      s  1 byte, unpacked sign-extended
//   w  2 bytes                              d  4 bytes
//   q  8 bytes, two values (low, high)
// Any other letter, or a count at the end of the format, fails the routine;
// what was already written stays written. Every routine also fails, before
// writing the element, when the byte buffer or the value array is too short.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

struct VarnexFormatSize
{
    size_t bytes = 0;
    size_t values = 0;
};

// The record length and value count of a format; none for a bad format.
std::optional<VarnexFormatSize> MeasureFormat(std::string_view format);

bool PackFields(std::string_view format, std::span<uint8_t> output,
                std::span<const int32_t> values);
bool UnpackFields(std::string_view format, std::span<const uint8_t> input,
                  std::span<int32_t> values);

// The same pair for the flash file system's records: letters b, s, w and d only.
bool PackRecord(std::string_view format, std::span<uint8_t> output,
                std::span<const int32_t> values);
bool UnpackRecord(std::string_view format, std::span<const uint8_t> input,
                  std::span<int32_t> values);
