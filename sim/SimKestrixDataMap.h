#pragma once
// How the simulated microcode finds its own buffers: the data-memory map that
// every microcode image carries (a "DMAP" word at a 4-byte boundary, then the
// command, result and data buffer places and, from map version 2, the table
// of its signature areas). The model reads it as the running microcode would;
// it keeps its own reader so that the simulator does not lean on the loader's.

#include <cstdint>
#include <optional>
#include <span>

struct SimKestrixDataMap
{
    uint32_t commandIn = 0;
    uint32_t commandOut = 0;
    uint32_t dataBuffer = 0;
    uint32_t dataBufferSize = 0;
    uint32_t printfHeader = 0;
    // The first signature area, when the map version has a signature table.
    std::optional<uint32_t> signatureArea;
    uint32_t commandOutSize = 0;
};

// The map in `data`, or nullopt when there is none or it runs past the end.
std::optional<SimKestrixDataMap> ReadSimKestrixDataMap(std::span<const uint8_t> data);

// Size of one signature area the engine checks at start.
constexpr uint32_t kSimKestrixSignatureSize = 16;
