#pragma once
// Owning handles for the crypto library's objects: each frees its object with
// the library's own function when it goes out of scope.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace crypto_handles
{
template <auto FreeFunction> struct Deleter
{
    template <class T> void operator()(T* object) const { FreeFunction(object); }
};

using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using BigNumberContext = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using PublicKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;
} // namespace crypto_handles
