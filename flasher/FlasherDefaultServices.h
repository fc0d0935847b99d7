#pragma once
// What the engine uses of the layers beneath it unless something else is
// installed: the certificate checks over the chain of trust, the UEFI merge
// of the image layer, and the Kestrix microcode loader of the EEPROM layer.

#include "eeprom/KestrixLoader.h"
#include "flasher/CertificateGate.h"
#include "flasher/MicrocodeLoader.h"
#include "flasher/UEFIImageServices.h"

#include <cstdint>
#include <vector>

class CFlasherImpl;

// The gate's checks, trusting the built-in root. The microcode's image
// verification is not among them until the secure EEPROM offers it.
CertificateGateServices DefaultCertificateGateServices();
// The same, trusting the root inside this "Salted__" container instead: for
// a simulated machine whose machine file names the root its test images are
// signed under. A program on real hardware keeps the built-in root.
CertificateGateServices CertificateGateServicesWithRoot(std::vector<uint8_t> rootContainer,
                                                        std::vector<uint8_t> passPhrase);
UEFIImageServices DefaultUEFIImageServices();
// Loads the built-in PMU microcode and attaches the loader to the EEPROM.
MicrocodeLoaderFactory DefaultMicrocodeLoaderFactory();
// The engine's view of a loaded Kestrix loader.
CRefPtr<IMicrocodeLoader> AdaptKestrixLoader(CRefPtr<CKestrixLoader> loader);
// Installs all of the above in the engine; called when the engine is made.
void InstallDefaultServices(CFlasherImpl& engine);
