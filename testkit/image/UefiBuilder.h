#pragma once
// Builders of UEFI drivers as GPU firmware carries them:
//
// - UefiBuildRecord: the "KR-UEFI-BLD-INFO" build information record.
// - SignedDataFor: a DER PKCS #7 SignedData, signed in the test with a fresh
//   EC key and a self-signed certificate whose subject and issuer are
//   "O=Korvan Test, CN=<name>"; the issuer common name is what the driver
//   reader reports as the signer.
// - CUefiDriverBuilder: a PE32 or PE32+ driver image with a body that holds
//   the build record (and any extra bytes, such as a GPU support list), and a
//   security directory of WIN_CERTIFICATE entries.
// - GpuSupportList: the "RUSH" support list of a GPU UEFI driver file.
// - UefiGpuImage: a GPU image whose chain holds the compressed driver in an
//   EFI block at the public, placeholder or hidden position.
//
//   std::vector<uint8_t> driver = testkit::CUefiDriverBuilder()
//       .BuildInfo(testkit::UefiBuildRecord({{"VER", "1.2"}, {"VAR", "0103"}}))
//       .Certificate(2, testkit::SignedDataFor("Korvan UEFI CA"))
//       .Build();
//   CRefPtr<IROMImage> image =
//       testkit::UefiGpuImage(testkit::EfiPosition::Public, driver).BuildImage();

#include "testkit/image/GpuImageBuilder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testkit
{
// Entries in order; version and length field override the record's own.
std::vector<uint8_t>
UefiBuildRecord(const std::vector<std::pair<std::string, std::string>>& entries,
                uint16_t version = 1, std::optional<uint8_t> lengthField = std::nullopt);

std::vector<uint8_t> SignedDataFor(const std::string& commonName);

// One support list entry.
struct GpuSupportEntry
{
    uint16_t deviceId = 0;
    uint16_t boardId = 0;
    uint32_t vbiosMagic = 0;
};

// A support list of version 1 (room for 10 entries) or 2 (room for
// capacity entries); the entry count is entries.size() unless given.
std::vector<uint8_t> GpuSupportList(uint32_t version, uint32_t driverType,
                                    const std::vector<GpuSupportEntry>& entries,
                                    uint32_t capacity = 10,
                                    std::optional<uint32_t> countField = std::nullopt);

class CUefiDriverBuilder
{
public:
    CUefiDriverBuilder& Pe32Plus(bool on = true);
    // Bytes of the body at its start (the build record, a support list...),
    // in the order given.
    CUefiDriverBuilder& BuildInfo(std::vector<uint8_t> record);
    CUefiDriverBuilder& Extra(std::vector<uint8_t> bytes);
    // Pads the body to at least this many bytes.
    CUefiDriverBuilder& BodySize(uint32_t bytes);
    // A WIN_CERTIFICATE entry of revision 0x200; the length field is
    // 8 + data.size() unless given.
    CUefiDriverBuilder& Certificate(uint16_t type, std::vector<uint8_t> data,
                                    std::optional<uint32_t> lengthField = std::nullopt);
    CUefiDriverBuilder& DirectoryCount(uint32_t count);
    // Overrides the security directory (file offset, size).
    CUefiDriverBuilder& SecurityDirectory(uint32_t offset, uint32_t size);

    std::vector<uint8_t> Build() const;

    static constexpr uint32_t kPeOffset = 0x80;

private:
    struct CertificatePlan
    {
        uint16_t type;
        std::vector<uint8_t> data;
        std::optional<uint32_t> lengthField;
    };
    bool m_pe32Plus = false;
    std::vector<uint8_t> m_body;
    uint32_t m_bodySize = 0x400;
    std::vector<CertificatePlan> m_certificates;
    uint32_t m_directoryCount = 16;
    std::optional<std::pair<uint32_t, uint32_t>> m_security;
};

enum class EfiPosition
{
    Public,      // x86 block, then the EFI block as the last image
    Placeholder, // the EFI block's data structure says "KPDS"
    Hidden,      // x86 block marked last in its PCIR, its KPDE continues the chain
    None,        // an x86 block alone
};

// The bytes of an EFI block's payload for the driver: the compressed block.
std::vector<uint8_t> EfiPayload(const std::vector<uint8_t>& driver);

// An x86 block of 0x1000 bytes (with a KPDE when hidden) followed by the EFI
// block holding the compressed driver, with an init-from-ROM segment of
// ifrSize bytes in front when it is not 0. Callers may add blocks and
// tables to the builder returned.
CGpuImageBuilder UefiGpuImage(EfiPosition position, const std::vector<uint8_t>& driver,
                              uint32_t ifrSize = 0);
// The same around an EFI block payload the caller made (a driver compressed
// some other way, or bytes that are no stream at all).
CGpuImageBuilder UefiGpuImageWithPayload(EfiPosition position, const std::vector<uint8_t>& payload,
                                         uint32_t ifrSize = 0);
} // namespace testkit
