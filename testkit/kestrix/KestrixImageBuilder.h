#pragma once
// Builds Kestrix microcode images: the header, a code segment of
// distinguishable bytes and a data segment holding the DMEM mapper and the
// records it names. The data segment's layout (offsets in DMEM):
//
//   0x000  signature area 0: production, debug signature (16 bytes each)
//   0x020  signature area 1: alternate production, alternate debug
//   mapperOffset (0x040)  the mapper, 0x40 bytes
//   0x080  build stamp table, 0x088 signature table, 0x090 target record,
//   0x0A0  printf header, 0x0C0 build date, 0x0D0 build time
//   0x100  cmd_in buffer, 0x140 cmd_out buffer (0x40 bytes each)
//   0x180  printf ring (0x80 bytes)
//
// The image data buffer lies beyond the segment, in engine DMEM only. Every
// field can be changed to emit a malformed image on purpose.

#include <array>
#include <cstdint>
#include <vector>

struct KestrixImageSpec
{
    uint32_t version = 2;
    uint32_t headerSize = 32;
    uint32_t imemSize = 0x200;
    uint32_t dmemSize = 0x200;
    // Version 1: word 5 is the secure end; version 2: word 5 the alternate
    // secure size and word 6 the secure size.
    uint32_t secureStart = 0x100;
    uint32_t secureEnd = 0x200;
    uint32_t alternateSecureSize = 0;
    uint32_t alternateDmemSize = 0;
    // Added to the sum the header's sizes make (a wrong length on purpose).
    int32_t extraBytes = 0;

    bool withMapper = true;
    uint32_t mapperOffset = 0x40; // need not be a multiple of 4
    uint16_t mapperVersion = 3;
    uint32_t cmdInOffset = 0x100;
    uint32_t cmdInSize = 0x40;
    uint32_t cmdOutOffset = 0x140;
    uint32_t cmdOutSize = 0x40;
    uint32_t dataBufferOffset = 0x1000;
    uint32_t dataBufferSize = 0x2000;
    bool withPrintf = true;
    uint32_t printfHeaderOffset = 0xA0;
    uint32_t ringOffset = 0x180;
    uint32_t ringSize = 0x80;
    uint32_t buildStampOffset = 0x80;
    uint32_t signatureTableOffset = 0x88;
    uint32_t targetRecordOffset = 0x90;
    uint16_t targetRecordVersion = 1;
    uint32_t ucodeFeature = 0;
    // Bytes of the code segment: (i * 13 + seed) & 0xFF.
    uint8_t codeSeed = 1;
    std::array<uint8_t, 16> productionSignature{};
    std::array<uint8_t, 16> alternateProductionSignature{};
};

std::vector<uint8_t> BuildKestrixImage(const KestrixImageSpec& spec = {});
// The code byte at IMEM offset i of an image built from `spec`.
uint8_t KestrixCodeByte(const KestrixImageSpec& spec, uint32_t offset);
