#pragma once
// Builds the certificate-information block that the microcode's image
// verification returns: the entry count, the base, four regions (offset from
// the base, size), the finalized flag and the protected-area entries. Fields
// that the secure write does not read stay zero.

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

struct CertInfoRegion
{
    uint32_t offset = 0;
    uint32_t size = 0;
};

struct CertInfoEntry
{
    uint8_t type = 2;
    uint32_t offset = 0;  // inside its region
    uint32_t length = 0;  // 20 bits
    uint8_t selector = 0; // 0 region 0, 0xE0 region 1, 0x70 region 2
};

struct CertInfoSpec
{
    uint32_t base = 0;
    std::array<CertInfoRegion, 4> regions{};
    bool finalized = true;
    std::vector<CertInfoEntry> entries;
    // Bytes cut from the end (a short block on purpose).
    uint32_t truncate = 0;
};

std::vector<uint8_t> BuildCertInfoBlock(const CertInfoSpec& spec);
