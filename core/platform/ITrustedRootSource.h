#pragma once
// The root certificate 2.0 whose chain the certificate gate trusts on this
// machine. On real hardware that is the root built into the programs; a
// simulated machine answers the root its machine file names (its images are
// signed under a chain whose private keys exist), the built-in one otherwise.

#include "core/RefCount.h"

#include <cstdint>
#include <span>
#include <vector>

// The root certificate in its "Salted__" container and the pass phrase that
// opens it.
struct TrustedRoot
{
    std::vector<uint8_t> container;
    std::vector<uint8_t> passPhrase;
};

class ITrustedRootSource : public IReferenceCount
{
public:
    // Fills `root` with the root's container and pass phrase.
    virtual void ReadTrustedRoot(TrustedRoot& root) = 0;
};

// The root built into the programs (aes-128-cbc container, key from the pass
// phrase by EVP_BytesToKey with MD5). Its private key exists nowhere.
std::span<const uint8_t> BuiltInRootContainer();
std::span<const uint8_t> BuiltInRootPassPhrase();
TrustedRoot BuiltInTrustedRoot();
// A source that answers the built-in root, as on real hardware.
CRefPtr<ITrustedRootSource> CreateBuiltInRootSource();
