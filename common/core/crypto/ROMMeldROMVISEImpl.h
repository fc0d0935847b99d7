#pragma once
// The certifying multi-image ROM file: the meld of the image layer whose
// certificate checks run the chain of trust over its images. The level of
// the last check is kept as the meld's certification result.

#include "common/core/crypto/ChainOfTrust.h"
#include "image/ROMMeldImpl.h"

#include <cstdint>
#include <span>

class CROMMeldROMVISEImpl : public CROMMeldImpl
{
public:
    // A meld that trusts the built-in root.
    static CRefPtr<CROMMeldROMVISEImpl> Create();
    // A meld that trusts the root inside this "Salted__" container.
    static CRefPtr<CROMMeldROMVISEImpl> Create(std::span<const uint8_t> rootContainer,
                                               std::span<const uint8_t> passPhrase);

    // False when the image's chain or signature fails (level 8); an image
    // without a certification package passes.
    bool VerifyImageCertificate(IROMImage* image, CLog* log) override;
    // Every image is checked, also after a failure; false when any failed.
    bool VerifyAllCertificates(CLog* log) override;

    // The certification level of the image (ChainOfTrust.h); a broken chain
    // throws io_error.
    int32_t VerifyCertificateChain(IROMImage* image, CLog* log);

private:
    explicit CROMMeldROMVISEImpl(CBCRTChainOfTrust chain) : m_chain(std::move(chain)) {}

    CBCRTChainOfTrust m_chain;
};
