#pragma once
// The certificate gate of GPU images: the chain of trust root -> master ->
// vendor of the image's certification package, then the image against its
// signature record (preserved data, then the body with the init-from-ROM
// segment). The answer is a certification level: 1 no package, 2 to 7
// certified (the vendor certificate's type minus 1), 8 failed. A broken chain
// throws io_error " Error: Failed certification sanity check.".

#include "common/core/crypto/BIOSSignature.h"
#include "core/Log.h"
#include "core/platform/ITrustedRootSource.h"
#include "image/IROMImage.h"

#include <cstdint>
#include <span>
#include <vector>

struct ImageStageHashes;

enum CertificationLevel : int32_t
{
    kCertificationNoPackage = 1,
    kCertificationFirstVendor = 2,
    kCertificationLastVendor = 7,
    kCertificationFailed = 8,
};

// Codes of the image check.
enum ImageCheckCode : int32_t
{
    BCRT_ERROR_CODE_PRESERVE_HASH_SIZE_MISMATCH = 2,
    BCRT_ERROR_CODE_PRESERVE_FNV_HASH_MISMATCH = 3,
    BCRT_ERROR_CODE_PRESERVE_SIGNATURE_MISMATCH = 4,
    BCRT_ERROR_CODE_BODY_FNV_HASH_MISMATCH = 7,
    BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH = 8,
    BCRT_ERROR_CODE_X509CERT_UNKNOWN_HASH_SIG_MODE = 10,
    BCRT_ERROR_CODE_CERT20_HAT_IFR_ENTRY_INVALID = 55,
};

// A range of an image's buffer, counted from the buffer's start whatever the
// image's offset mode.
struct SignedImageRange
{
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const SignedImageRange&) const = default;
};

class CBCRTChainOfTrust
{
public:
    // Trusts the built-in root.
    CBCRTChainOfTrust();
    // Trusts the root certificate inside this "Salted__" container.
    CBCRTChainOfTrust(std::span<const uint8_t> rootContainer, std::span<const uint8_t> passPhrase);

    // The certification level of the image. Messages go to the log (none:
    // nothing is written).
    int32_t VerifyCertificateChain(IROMImage* image, CLog* log);
    // The image check proper over image A (before the certificate block) and
    // image B (from it): 0 or the code of the last failure.
    int32_t VerifyVbiosSignature(IROMImage* a, IROMImage* b, CBCRTBIOSSignature* record, CLog* log);
    // Deciphers the root on first use; true also when that failed (the
    // master certificate then fails).
    bool LoadRootCertificate();
    // Where the image's signature record puts the bytes its body signature
    // vouches for (the body, init-from-ROM and package ranges), in order;
    // nothing is checked. Empty when the image has no readable record. The
    // preserved data is left out: it may change without a new signature.
    std::vector<SignedImageRange> LocateSignedRanges(IROMImage* image);

    int32_t GetCode() const { return m_code; }
    uint32_t GetPackageKind() const { return m_packageKind; }

private:
    struct Found;
    // Image A read where it lies: the image's bytes before its certificate
    // block at window-relative offsets below `viewEnd`, and from its
    // init-from-ROM header (when it has one) below `loadedEnd`.
    struct PartBefore
    {
        IROMImage* image = nullptr;
        uint64_t viewEnd = 0;
        uint64_t loadedEnd = 0;
    };
    int32_t CheckStages(const PartBefore& a, IROMImage* b, CBCRTBIOSSignature* record,
                        CLog& log);
    void RefusePackage(CLog& log, const char* reason);
    Found FindCertificates(IROMImage* image, int32_t package);
    void CheckCertificates(IROMImage* image, const Found& found, CLog& log);
    int32_t CheckSignedImage(IROMImage* image, int32_t package, const Found& found, CLog& log);
    int32_t CheckImage(IROMImage* image, int32_t hat, std::span<const uint8_t> signingCertificate,
                       CLog& log);
    CRefPtr<CBCRTBIOSSignature> ReadSignatureRecord(IROMImage* image, int32_t hat,
                                                    std::span<const uint8_t> signingCertificate,
                                                    CLog& log);
    bool SplitSignedImage(IROMImage* image, PartBefore& a, CRefPtr<IROMImage>& b);
    int32_t CheckNoUnsignedCode(IROMImage* image, const PartBefore& a, CBCRTBIOSSignature* record,
                                CLog& log);
    std::vector<SignedImageRange> PlaceSignedRanges(IROMImage* image, int32_t hat);
    // Keeps the code as the check's answer and logs it; the check goes on,
    // so the answer is the last failure met.
    void RecordFailure(CLog& log, int32_t code);

    // The steps of the image check.
    struct PlacedRange;
    struct PreserveStage;
    template <typename Step>
    static bool ForEachRange(const PartBefore& a, CBCRTBIOSSignature* record, Step&& step);
    // Records a signed range outside its image; the check ends there.
    int32_t RecordRangeOutside(CLog& log);
    static bool CollectPreserveStage(const PartBefore& a, CBCRTBIOSSignature* record,
                                     PreserveStage& preserve);
    void CheckPreserveHash(const PartBefore& a, const PreserveStage& preserve, CLog& log);
    void CheckPreserveSignature(const PartBefore& a, CBCRTBIOSSignature* record,
                                const PreserveStage& preserve, CLog& log);
    bool CollectBodyStage(const PartBefore& a, IROMImage* b, CBCRTBIOSSignature* record,
                          ImageStageHashes& body);
    const uint8_t* IfrRangeBytes(const PartBefore& a, const BCRTSignedRange& range);
    void CheckBodySignature(IROMImage* b, CBCRTBIOSSignature* record, const ImageStageHashes& body,
                            CLog& log);

    std::vector<uint8_t> m_rootContainer;
    std::vector<uint8_t> m_passPhrase;
    int32_t m_code = 0;
    uint32_t m_packageKind = 0;
    bool m_ifrSeen = false;
    uint32_t m_ifrSize = 0;
    bool m_rootLoaded = false;
    std::vector<uint8_t> m_root;
};
