#pragma once
// Builds Varnex stores byte by byte, in the raw form and in the flash file
// system form, for tests, firmware images and simulated EEPROMs. The builder
// writes the layouts itself (it does not use the store's own serialiser), so
// what it emits is an independent reference for the reader.
//
//   std::vector<uint8_t> raw = CVarnexStoreBuilder()
//       .Img("1.2", 0x2204, 0x10DE, 0x1454, 0x10DE)
//       .Obd("699-12345-0000-000")
//       .Pbl(2, 0, {0x1000}, {0x1000})
//       .Generic("BBX", {1, 2, 3}).WithAttribute(0x01)   // a read-write object
//       .BuildRaw();
//   std::vector<uint8_t> fs = builder.BuildFileSystem();
//
// Every object is added with version 1.0 and attribute 0 unless the With...
// calls that follow it say otherwise; With... calls change the object added
// last. The directory ("ROM") comes first and lists the objects back to back
// in the order they were added. Malformations on purpose: WithSizeField emits
// a header whose size disagrees with the object's bytes, WithBadChecksum a
// file-system node whose checksum is wrong, FileSystemVersion another
// superblock version.

#include "varnex/VarnexCalendar.h"
#include "varnex/VarnexTypedObjects.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace testkit
{

class CVarnexStoreBuilder
{
public:
    // Default: a 10-entry directory (version 1.1) dated 5 March 2024.
    CVarnexStoreBuilder();

    // A 10- or 19-entry directory and the date it carries.
    CVarnexStoreBuilder& Directory(uint32_t entries, const VarnexDate& date = {5, 3, 2024});

    CVarnexStoreBuilder& Img(const std::string& versionText, uint16_t deviceId, uint16_t vendorId,
                             uint16_t subsystemId, uint16_t subsystemVendorId,
                             bool waiveIdCheck = false);
    CVarnexStoreBuilder& Obd(const std::string& productNumber,
                             const std::string& marketingName = "Korvan Test Board",
                             const std::string& serialNumber = "0123456789");
    CVarnexStoreBuilder& Oem(std::vector<uint8_t> body);
    CVarnexStoreBuilder& Ecc(std::vector<uint8_t> body);
    // Version 2.0, 2.1 or 3.0; the page-count byte holds the ECC-off count.
    CVarnexStoreBuilder& Pbl(uint8_t version, uint8_t subversion, std::vector<uint64_t> eccOnPages,
                             std::vector<uint64_t> eccOffPages);
    CVarnexStoreBuilder& Ppo(const std::vector<VarnexPolicyEntry>& entries,
                             uint8_t tableVersion = 16);
    CVarnexStoreBuilder& Een(const std::array<uint32_t, 26>& words);
    CVarnexStoreBuilder& Bbo(uint8_t id, uint8_t revision, uint16_t value);
    // Header and body only (BBX, PGM or any tag).
    CVarnexStoreBuilder& Generic(const std::string& tag, std::vector<uint8_t> body);

    CVarnexStoreBuilder& WithVersion(uint8_t version, uint8_t subversion);
    CVarnexStoreBuilder& WithAttribute(uint8_t attribute);
    CVarnexStoreBuilder& WithSizeField(uint16_t size);
    // File-system form only: the object's first node carries a wrong checksum.
    CVarnexStoreBuilder& WithBadChecksum();
    // File-system form only: the superblock's version (2 unless set).
    CVarnexStoreBuilder& FileSystemVersion(uint32_t version);

    // The directory followed by every object.
    std::vector<uint8_t> BuildRaw() const;
    // Superblock, read-only files, dummy nodes to the block's end, read-write
    // files, 0xFF up to 20480 bytes (32768 with a read-write object). The
    // directory is the first file.
    std::vector<uint8_t> BuildFileSystem() const;

    // One object's stored bytes (header and body) and its attribute, in the
    // order added; index 0 is the first object after the directory.
    std::vector<uint8_t> ObjectBytes(size_t index) const;
    size_t ObjectCount() const { return m_objects.size(); }

private:
    struct Object
    {
        std::array<uint8_t, 3> tag;
        uint8_t version = 1;
        uint8_t subversion = 0;
        uint8_t attribute = 0;
        std::optional<uint16_t> sizeField;
        bool badChecksum = false;
        std::vector<uint8_t> body;
    };
    CVarnexStoreBuilder& Add(const std::string& tag, std::vector<uint8_t> body);
    static std::vector<uint8_t> Bytes(const Object& object);
    std::vector<uint8_t> DirectoryBytes() const;

    uint32_t m_entries = 10;
    uint32_t m_fileSystemVersion = 2;
    VarnexDate m_date{5, 3, 2024};
    std::vector<Object> m_objects;
};

// File-system building blocks for tests that lay out nodes themselves.
// A 128-byte superblock: "JFFS", version, total size, zeros.
std::vector<uint8_t> MakeVarnexFsSuperblock(uint32_t version, uint32_t totalSize);
// A node: header {flags, tag, offset, data length, sequence, checksum}, the
// data, 0xFF to 128 bytes. The checksum is right unless badChecksum.
std::array<uint8_t, 128> MakeVarnexFsNode(uint8_t flags, const std::string& tag, uint16_t offset,
                                          std::span<const uint8_t> data, uint8_t sequence = 0,
                                          bool badChecksum = false);
// A dummy node: flags 0, tag 00 00 00, length 0x80, data 0xFF.
std::array<uint8_t, 128> MakeVarnexFsDummyNode();
// The sum of the 128 node bytes made zero by the checksum byte at 8.
uint8_t VarnexFsNodeChecksum(std::span<const uint8_t> node);

} // namespace testkit
