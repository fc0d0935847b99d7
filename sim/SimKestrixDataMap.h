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
    uint32_t commandInSize = 0;
};

// The map in `data`, or nullopt when there is none or it runs past the end.
std::optional<SimKestrixDataMap> ReadSimKestrixDataMap(std::span<const uint8_t> data);

// The smallest buffers the microcode can work with: the command buffer holds
// the largest argument block (the 28-byte part block of ESI), the result
// buffer the largest result (the 32 ECID bytes).
constexpr uint32_t kSimKestrixMinCommandIn = 28;
constexpr uint32_t kSimKestrixMinCommandOut = 32;
// The words of the printf header the microcode reads and writes.
constexpr uint32_t kSimKestrixPrintfHeaderBytes = 20;

// Whether the map's command, result and data buffers and its printf header
// lie inside a data memory of `memoryBytes`, the two command buffers no
// smaller than the minimums above. Microcode whose map fails this would
// read and write outside its memory; the engine refuses to run it.
bool SimKestrixDataMapFits(const SimKestrixDataMap& map, uint64_t memoryBytes);

// Size of one signature area the engine checks at start.
constexpr uint32_t kSimKestrixSignatureSize = 16;
