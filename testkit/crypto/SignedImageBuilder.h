#pragma once
// Signed GPU images for the tests: an x86 block, an optional init-from-ROM
// segment and a certificate block whose certification package holds a vendor
// and a master certificate 2.0 under a test root, a signature record of
// preserved-data, body, init-from-ROM and package ranges, the body signature
// with its stored hash, and an optional certificate-information block. The
// preserve hash (and, when asked, the preserve signature) are written into
// the x86 block. The spec's switches make each malformation on purpose.

#include "common/core/crypto/BIOSSignature.h"
#include "core/RefCount.h"
#include "image/IROMImage.h"
#include "testkit/crypto/TestKeys.h"
#include "testkit/image/GpuImageBuilder.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace testkit
{
// Where an EFI block that no signed range covers is put in the chain.
enum class UnsignedEfiBlock
{
    None,
    BeforeX86,
    AfterX86,
    AfterCertificate, // the certificate block's last-image bit cleared
};

struct SignedImageSpec
{
    uint32_t bodyLength = 0x10000;       // the x86 block, a multiple of 512
    std::optional<uint32_t> initFromRom; // segment size
    // Adds blocks after the certificate block (board data, stores).
    std::function<void(CGpuImageBuilder&)> laterBlocks;
    uint32_t vendorType = 6;
    uint32_t packageKind = 2;
    bool vendorFirst = true;
    bool preserveSignature = false;
    bool certInfoBlock = true;
    uint32_t certInfoLength = 0x40;
    // The kind-7 range's size; the segment's size when not given.
    std::optional<uint32_t> ifrRangeSize;
    // Malformations.
    bool markLast = true;         // attribute bit 1 on the last entry
    bool secondVendor = false;    // one more vendor entry before the master
    uint32_t fillerEntries = 0;   // entries of type 0 with no certificate: before the master,
                                  // or at the end when the master comes first
    uint32_t masterEntryType = 2; // type word of the master's entry
    uint32_t masterCertType = 2;  // type inside the master certificate
    size_t masterSigner = kRootKey;
    size_t vendorKey = kVendorKey; // the key of the vendor certificate and of the image signatures
    std::vector<BCRTSignedRange> extraRanges; // appended to the record, not hashed by the builder
    // Gives the x86 block its identity (device ID, hardware data area, BIT
    // tokens) for images a program must find fit for an adapter. What it
    // writes lies outside the preserved data and its hash (0x200-0x30F).
    std::function<void(CGpuImageBuilder&)> describeBody;
    // One more executable block, signed over nothing; the image is signed
    // with it in place.
    UnsignedEfiBlock unsignedEfi = UnsignedEfiBlock::None;
};

// Where the builder put things (window-relative image offsets; the ranges
// of the x86 block count from its start).
struct SignedImageLayout
{
    uint32_t x86Block = 0;
    uint32_t certificateBlock = 0;
    uint32_t package = 0;
    uint32_t hat = 0;
    uint32_t signatureBlock = 0;
    uint32_t certInfo = 0;
    uint32_t preservedData = 0x200; // in the x86 block
    uint32_t preserveHash = 0x300;
    uint32_t preserveSignature = 0x310;
    uint32_t bodyByte = 0x1000; // a byte inside a body range
};

struct SignedImage
{
    std::vector<uint8_t> bytes;
    SignedImageLayout layout;
    // The image made from the bytes.
    CRefPtr<IROMImage> Image() const;
};

SignedImage BuildSignedImage(const SignedImageSpec& spec = {});

// The root certificate 2.0 of the test chain in its "Salted__" container
// (aes-128-cbc), and the 64-byte pass phrase that opens it.
std::vector<uint8_t> TestRootContainer();
std::vector<uint8_t> TestRootPassPhrase();
} // namespace testkit
