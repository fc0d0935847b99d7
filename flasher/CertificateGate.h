#pragma once
// What the certificate gate asks of the certificate and microcode layers
// (the engine installs those layers' services when it is made): the
// software check of an image's certification package and chain (older GPU
// kinds), the package's place in the image, and the microcode's image
// verification (newer GPU kinds). Whatever is not installed refuses: the
// gate fails closed.

#include "common/core/crypto/Certificate.h"
#include "common/core/crypto/ChainOfTrust.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "eeprom/IEEPROM.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"

#include <cstdint>
#include <functional>

// Answers of the microcode's image verification besides 0 (accepted).
constexpr int32_t kMicrocodeScriptsSignatureFailed = 0x48;
constexpr int32_t kMicrocodeTablesSignatureFailed = 0x47;

// The gate's answer (VerifyImageCertificate): accepted, or refused; a
// refusal by the microcode answers with the microcode's own code.
constexpr int32_t kCertificateAccepted = 0;
constexpr int32_t kCertificateRefused = -1;

struct CertificateGateServices
{
    // The image's certification package and chain checked in software: 1 no
    // package, 8 chain or signature failure, 2 to 7 the vendor's level.
    std::function<int32_t(CRefPtr<IROMImage> image, CLog* log)> verifyCertificateChain;
    // The offset of the image's certification package, -1 when it has none.
    std::function<int32_t(CRefPtr<IROMImage> image)> findCertificatePackage;
    // The microcode's verification of the image with the certificate (which
    // may be null): 0 accepted, else the microcode's error code.
    std::function<int32_t(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                          CRefPtr<IROMImage> image, CRefPtr<IBCRTCert> certificate, CLog* log,
                          bool showProgress)>
        verifyByMicrocode;
};

// Whether the software chain check's answer lets the image be written.
bool IsAcceptedCertificateLevel(int32_t level);
