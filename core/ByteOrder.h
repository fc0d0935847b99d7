#pragma once
// Numbers stored little-endian in byte buffers, as firmware images, files and
// certificates hold them. The caller has checked that the bytes exist.

#include <cstdint>

// The 16-bit number in bytes[0..1], least significant byte first.
constexpr uint16_t LoadLE16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The 32-bit number in bytes[0..3], least significant byte first.
constexpr uint32_t LoadLE32(const uint8_t* bytes)
{
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}
