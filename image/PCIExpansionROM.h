#pragma once
// Layout of the PCI expansion-ROM blocks of GPU firmware: the block header,
// the PCI data structure ("PCIR", or "KPDS" in a private block) and the
// maker's KPDE extension behind it. All fields are little-endian.

#include <cstdint>

namespace pcirom
{
// Block marks (the first word of a block).
inline constexpr uint16_t kPublicMark = 0xAA55;  // bytes 0x55 0xAA
inline constexpr uint16_t kPrivateMark = 0x4B52; // bytes "RK"
inline constexpr uint16_t kAlternateMark = 0xBB77;

// Block header fields.
inline constexpr uint32_t kInitSizeOffset = 2; // 512-byte units
inline constexpr uint32_t kPcirPointerOffset = 0x18;
inline constexpr uint32_t kMinimumHeaderSize = 26; // up to and including the pointer

// Signatures as the double word reads them.
inline constexpr uint32_t kPcirSignature = 0x52494350; // "PCIR"
inline constexpr uint32_t kKpdsSignature = 0x5344504B; // "KPDS"
inline constexpr uint32_t kRgisSignature = 0x53494752; // "RGIS"
inline constexpr uint32_t kKpdeSignature = 0x4544504B; // "KPDE"
inline constexpr uint32_t kIfrSignature = 0x4947524B;  // "KRGI"

// PCI data structure fields, from the structure's start.
inline constexpr uint32_t kPcirVendorId = 4;
inline constexpr uint32_t kPcirDeviceId = 6;
inline constexpr uint32_t kPcirStructureLength = 10;
inline constexpr uint32_t kPcirRevision = 12;
inline constexpr uint32_t kPcirClassCode = 13;
inline constexpr uint32_t kPcirImageLength = 16; // 512-byte units
inline constexpr uint32_t kPcirCodeType = 20;
inline constexpr uint32_t kPcirIndicator = 21;
inline constexpr uint32_t kPcirSize = 24;

// KPDE extension fields, from the structure's start.
inline constexpr uint32_t kKpdeVersion = 4;
inline constexpr uint32_t kKpdeStructureLength = 6;
inline constexpr uint32_t kKpdeImageLength = 8; // 512-byte units, 0 = none
inline constexpr uint32_t kKpdeIndicator = 10;  // when the length is at least 11
inline constexpr uint32_t kKpdeFlags = 11;      // when the length is at least 12
inline constexpr uint32_t kKpdeSubsystemVendorId = 16;
inline constexpr uint32_t kKpdeSubsystemDeviceId = 18;
inline constexpr uint16_t kKpdeVersion100 = 0x0100;
inline constexpr uint16_t kKpdeVersion101 = 0x0101;

// KPDE flag bits.
inline constexpr uint8_t kFlagPrivate = 0x01;
inline constexpr uint8_t kFlagSuperImage = 0x02;
inline constexpr uint8_t kFlagNoChecksum = 0x04;
inline constexpr uint8_t kFlagFixedInitSegment = 0x08;

inline constexpr uint8_t kLastImage = 0x80;
inline constexpr uint32_t kUnit = 512;

// Code types.
inline constexpr uint8_t kCodeX86 = 0x00;
inline constexpr uint8_t kCodeOpenFirmware = 0x01;
inline constexpr uint8_t kCodeHpPaRisc = 0x02;
inline constexpr uint8_t kCodeEfi = 0x03;
inline constexpr uint8_t kCodeNbsi = 0x70;
inline constexpr uint8_t kCodeX86Extension = 0xE0;
inline constexpr uint8_t kCodeNone = 0xFF;

// Init-from-ROM header fields (buffer offsets).
inline constexpr uint32_t kIfrHeaderWord = 4;
inline constexpr uint32_t kIfrDataSize = 8;
inline constexpr uint32_t kIfrSubsystemId = 12;
inline constexpr uint32_t kIfrImageSize = 20;
inline constexpr uint32_t kIfrMinimumHeader = 16;
inline constexpr uint32_t kIfrMinimumData = 28;
inline constexpr uint32_t kIfrDataSizeMask = 0xFFFFF;

// Every chain walk stops after this many blocks, whatever the bytes say.
inline constexpr uint32_t kMaxChainBlocks = 0x300000 / kUnit;
} // namespace pcirom
