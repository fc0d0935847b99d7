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

// The gate's checks, trusting the root the platform names when a check runs
// (GetTrustedRoot: the built-in root on real hardware, a simulated machine's
// own root on one whose machine file names it).
CertificateGateServices DefaultCertificateGateServices();
// The same, always trusting the root inside this "Salted__" container, for
// tests of the gate.
CertificateGateServices CertificateGateServicesWithRoot(std::vector<uint8_t> rootContainer,
                                                        std::vector<uint8_t> passPhrase);
UEFIImageServices DefaultUEFIImageServices();
// Loads the built-in PMU microcode and attaches the loader to the EEPROM.
MicrocodeLoaderFactory DefaultMicrocodeLoaderFactory();
// The engine's view of a loaded Kestrix loader.
CRefPtr<IMicrocodeLoader> AdaptKestrixLoader(CRefPtr<CKestrixLoader> loader);
// Installs all of the above in the engine; called when the engine is made.
void InstallDefaultServices(CFlasherImpl& engine);
