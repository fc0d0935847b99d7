#pragma once
// The key folder of the sample generators: the root, master and vendor key
// pairs a signed sample image is made under (root.pem, master.pem,
// vendor.pem) and the root certificate in its container with its pass phrase,
// which a machine trusts (makemachine). makefirmware --sign writes and uses
// one; makemachine makes one for a machine with secure adapters.

#include <filesystem>

inline constexpr const char* kRootCertificateFile = "root-certificate.bin";
inline constexpr const char* kRootPassPhraseFile = "root-pass-phrase.bin";

// Makes the keys of this process the folder's: adopts the key pairs the
// folder holds, or makes new ones and writes them there; then writes the
// root certificate of those keys. Refused when the folder holds only some of
// the key files, or one that is no 1024-bit RSA private key.
void UseSampleKeys(const std::filesystem::path& folder);
