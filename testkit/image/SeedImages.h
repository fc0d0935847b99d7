#pragma once
// Images of every kind the builders make, for fuzzers (their seed corpus)
// and anything else that wants a spread of well-formed inputs, and the real
// option ROMs of Debian's ipxe-qemu and seabios packages when installed.
//
// A new family is one line in SeedImages() (SeedImages.cpp).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testkit
{

struct NamedBytes
{
    std::string name;
    std::vector<uint8_t> bytes;
};

// A GPU image with every kind of block and every table a reader follows:
// hardware data area, GUID record, command list, BIT with its tokens, init
// and devinit tables, preservation table with init scripts, VField, TMDS,
// LVDS, PLL and microcode tables, DCB, PMID and a Varnex block; with or
// without an init-from-ROM segment in front.
std::vector<uint8_t> ImageWithEveryTable(bool initFromRom);

// The longest image the builders' seeds may be: the image fuzzers take no
// longer input (their "fuzz-max-len"), so a longer seed would reach them cut.
inline constexpr size_t kLongestSeedImage = 0x18000;

// Every seed image, by name: GPU images ("gpu-..."), the bridges' EEPROM
// images ("bridge-zx22", "bridge-plx8747") and, of the Debian option ROMs one of each form (EFI,
// x86 PXE, VGA BIOS; "debian-..."), each cut to kLongestSeedImage where it is
// longer (the block that crosses the limit is shortened, its lengths set to
// the cut, so the chain stays whole).
std::vector<NamedBytes> SeedImages();

// The PCI option ROM files of ipxe-qemu (*.rom) and seabios (vgabios*.bin)
// found on this machine, sorted; none when the packages are missing.
std::vector<std::filesystem::path> DebianOptionRoms();
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

} // namespace testkit
