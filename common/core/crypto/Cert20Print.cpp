// Certificate 2.0: the printout of its fields, extensions and signatures.

#include "common/core/crypto/Cert20KRCert.h"

#include "common/core/crypto/digitalsignature/Digests.h"
#include "core/ByteOrder.h"
#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"

#include <array>

using namespace cert20;

namespace
{
const char* TypeName(uint32_t type)
{
    static constexpr std::array<const char*, 11> kNames{
        " (ROOT) ", " (MASTER) ", " (KRD) ", " (AED) ",      " (KRA) ", " (PP) ",
        " (PD) ",   " (XOC) ",    " (KRL) ", " (BASELINE) ", " (PSDL) "};
    return type >= 1 && type <= kNames.size() ? kNames[type - 1]
                                              : " Error: Certificate Type Unknown ";
}

std::string HashName(uint8_t hash, const char* label, const char* unknownLabel)
{
    if (hash == kHashDmOverAes128)
    {
        return std::string(label) + "DMOVERAES128 ";
    }
    if (hash == kHashSha256)
    {
        return std::string(label) + "SHA256 ";
    }
    return std::string(unknownLabel) + ToHex(hash, 8) + " Unknown ";
}

std::string AlgorithmText(uint32_t word)
{
    const auto hash = static_cast<uint8_t>(word);
    const auto crypto = static_cast<uint8_t>(word >> 8);
    const auto altHash = static_cast<uint8_t>(word >> 16);
    const auto altCrypto = static_cast<uint8_t>(word >> 24);
    std::string text = ToHex(word, 8);
    if (hash != 0)
    {
        text += HashName(hash, " Hash: ", " Hash: ");
    }
    if (altHash != 0)
    {
        text += HashName(altHash, " Alternate Hash: ", " Alt Hash: ");
    }
    if (hash == 0 && altHash == 0)
    {
        text += " Error: Missing Hash Algorithm in Certificate ";
    }
    static constexpr std::array<const char*, 3> kCrypto{" Crypto: RSA1024 ", " Crypto: RSA3072 ",
                                                        " Crypto: ECDSA256 "};
    text += crypto >= 1 && crypto <= 3 ? std::string(kCrypto[crypto - 1])
                                       : " Crypto: " + ToHex(crypto, 8) + " Unknown ";
    if (altCrypto == 1)
    {
        text += " Alt Crypto: AES128 ";
    }
    else if (altCrypto == kAltCrypto3Aes128)
    {
        text += " Alt Crypto: 3AES128 ";
    }
    else if (altCrypto != 0)
    {
        text += " Crypto: " + ToHex(altCrypto, 8) + " Unknown ";
    }
    return text;
}

std::string FlagText(uint32_t flags)
{
    static constexpr std::array<const char*, 4> kNames{
        " EXTENSION_PRESENT: ", " PUBKEY_PRESENT: ", " PROD_ALTSIG_PRESENT: ",
        " DEBUG_ALTSIG_PRESENT: "};
    std::string text = ToHex(flags, 8);
    for (uint32_t bit = 0; bit < kNames.size(); ++bit)
    {
        if ((flags & (1u << bit)) != 0)
        {
            text += kNames[bit];
        }
    }
    return text;
}

std::string DateText(const BCRTValidityDate& d)
{
    auto n = [](int32_t value, uint32_t width)
    { return FormatNumber(static_cast<uint32_t>(value), width); };
    return n(d.month, 2) + "/" + n(d.day, 2) + "/" + n(d.year, 4) + ", " + n(d.hour, 2) + ":" +
           n(d.minute, 2) + ":" + n(d.second, 2);
}

// Bytes in two hexadecimal digits each, a new line and the indent after every
// perLine bytes.
std::string HexBytes(const uint8_t* bytes, size_t count, size_t perLine, const char* indent)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
    {
        if (i != 0 && i % perLine == 0)
        {
            text += "\n";
            text += indent;
        }
        text += ToHex(bytes[i], 2);
    }
    return text;
}

std::string ExtensionLine(uint32_t type, const std::vector<uint8_t>& data)
{
    // data ends with the zero byte the lookup adds.
    const size_t size = data.size() - 1;
    const std::string text(reinterpret_cast<const char*>(data.data()));
    switch (type)
    {
    case kExtTimeServer:
        return " NTP:" + text;
    case kExtSigningProfile:
        return " BIOSMOD SECURITY LEVEL: " + text;
    case kExtExpirationDays:
        return " EXPIRATION DAYS:" + FormatNumber(size >= 4 ? LoadLE32(data.data()) : 0, 4);
    case kExtVendorPrivilege:
        return " VENDOR PRIVILEGE:" + text;
    case kExtVendorName:
        return " VENDOR NAME: " + text;
    case kExtEcid:
    {
        const uint16_t kind = size >= 2 ? static_cast<uint16_t>(data[0] | data[1] << 8) : 0;
        const size_t valueSize = kind == 1 ? 32 : 16;
        const char* name = kind == 1 ? "SHA256" : kind == 2 ? "DMHASH" : "RAW ECID";
        const size_t shown = size > 4 ? std::min(valueSize, size - 4) : 0;
        return std::string(" ECID, Hash Type - ") + name + " " +
               HexBytes(data.data() + 4, shown, valueSize, "");
    }
    case kExtPsdl:
        return " PSDL " + HexBytes(data.data(), size, 32, "     ");
    case kExtRandom:
    {
        std::string line = " RANDOM NUMBER:";
        for (size_t i = 0; i + 4 <= size; i += 4)
        {
            line += (i != 0 && i % 16 == 0 ? "\n     " : " ") + ToHex(LoadLE32(&data[i]), 8);
        }
        return line;
    }
    case kExtGpuId:
        // No chip-name table is kept: the chip is shown by its ID.
        return " GPUID: " + (size >= 4 ? ToHexString(LoadLE32(data.data()), 8) : std::string());
    case kExtDeviceId:
        return " DevID: " + (size >= 4 ? ToHex(LoadLE32(data.data()), 4) : std::string());
    default:
        return " Unknown Extension ";
    }
}
} // namespace

void CBCRT20KRCert::PrintMainStructure(std::ostream& out)
{
    out << "-- Certificate Infomation  --" << LogEndl;
    out << "         Cert Version : 0x" << ToHex(Word(kVersion), 4) << LogEndl;
    out << "            Cert Size : " << FormatNumber(Word(kCertSize), 4) << " Bytes" << LogEndl;
    out << "        Serial Number : " << FormatNumber(Word(kSerial), 4) << LogEndl;
    out << "     Main Struct Size : " << FormatNumber(Word(kMainSize), 4) << " Bytes" << LogEndl;
    out << "            Cert Type : " << FormatNumber(Word(kType), 4) << TypeName(Word(kType))
        << LogEndl;
    out << "            Algo Type : " << AlgorithmText(Word(kAlgorithm)) << LogEndl;
    out << "                 Flag : " << FlagText(GetFlags()) << LogEndl;
    out << "          Issuer's ID : " << FormatNumber(Word(kIssuerId), 8) << LogEndl;
    out << "           Owner's ID : " << FormatNumber(Word(kOwnerId), 8) << LogEndl;
    out << "           Not Before : " << DateText(m_notBefore) << LogEndl;
    out << "            Not After : " << DateText(m_notAfter) << LogEndl;
}

void CBCRT20KRCert::PrintPublicKey(std::ostream& out, uint8_t crypto)
{
    const size_t keySize = crypto == 1 ? 128 : crypto == 2 ? 384 : crypto == 3 ? 32 : 0;
    const size_t shown = RangeFits(kModulus, keySize, Word(kCertSize)) ? keySize : 0;
    out << "            Public Key: "
        << "\n     " << HexBytes(m_bytes.data() + kModulus, shown, 32, "     ") << LogEndl;
}

// The extension entries in chain order, while they lie inside the
// certificate and until the one marked last.
void CBCRT20KRCert::PrintExtensions(std::ostream& out)
{
    const uint32_t area = Word(kMainSize);
    out << "    Certificate Extensions:  Version: " << ToHex(Word(area), 2)
        << " Total Entries: " << Word(area + kExtensionCount) << LogEndl;
    const uint64_t size = Word(kCertSize);
    uint64_t entry = uint64_t{area} + Word(area + kExtensionFirstOffset);
    for (uint32_t i = 0;
         i < Word(area + kExtensionCount) && RangeFits(entry, kEntryHeaderSize, size); ++i)
    {
        const auto at = static_cast<uint32_t>(entry);
        const uint32_t type = Word(at + kEntryType);
        const uint32_t flags = Word(at + kEntryFlags);
        const uint64_t next = uint64_t{m_extensionBase} + Word(at + kEntryNext);
        out << "          Ext " << type << ":"
            << ((flags & kEntryFirst) != 0 ? " (First Ext Entry) " : "")
            << ((flags & kEntryLast) != 0 ? "(Last Ext Entry) " : "");
        const Extension found = FindExtension(type);
        out << (found.code == 0 && found.entry == at ? ExtensionLine(type, found.data)
                                                     : " Unknown Extension ")
            << LogEndl;
        if ((flags & kEntryLast) != 0 || next < entry + kEntryHeaderSize)
        {
            break;
        }
        entry = next;
    }
}

// The RSA-1024 signature and the alternate signatures after it, when the
// certificate is long enough to hold them all.
void CBCRT20KRCert::PrintRsa1024Signatures(std::ostream& out)
{
    uint32_t end = Word(kCertSize);
    const uint32_t altSignatures = ((GetFlags() & kProdAltSigPresent) != 0 ? 32u : 0u) +
                                   ((GetFlags() & kDebugAltSigPresent) != 0 ? 32u : 0u);
    if (end < altSignatures + kRsa1024Size + kMainStructureSize)
    {
        return;
    }
    end -= altSignatures;
    out << "  RSA1K Signature: "
        << HexBytes(m_bytes.data() + end - kRsa1024Size, kRsa1024Size, 32, "") << LogEndl;
    for (uint32_t at = end; at < end + altSignatures; at += kAltSignatureSize)
    {
        out << "  3AES Debug Signature: "
            << HexBytes(m_bytes.data() + at, kAltSignatureSize, 32, "") << LogEndl;
    }
}

void CBCRT20KRCert::Print(bool full, CLog* log)
{
    if (log == nullptr)
    {
        return;
    }
    log->SetLevel(4);
    if (!full || !HasMainStructure())
    {
        return;
    }
    std::ostream& out = *log;
    PrintMainStructure(out);
    // The sections below read past the main structure: only for a
    // certificate whose size and layout passed the header check.
    if (m_structureError == BCRT_ERROR_CODE_CERT_BLOCK_MISSING ||
        m_structureError == BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION ||
        m_structureError == BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID)
    {
        return;
    }
    const uint8_t crypto = AlgorithmByte(1);
    if ((GetFlags() & kPubkeyPresent) != 0)
    {
        PrintPublicKey(out, crypto);
    }
    if (m_extensionBase != 0)
    {
        PrintExtensions(out);
    }
    if (crypto == kCryptoRsa1024)
    {
        PrintRsa1024Signatures(out);
    }
}
