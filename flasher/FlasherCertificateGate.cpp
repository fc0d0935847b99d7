// The certificate gate before an image is programmed into an EEPROM reached
// through the Kestrix microcontroller.

#include "core/UserInterface.h"
#include "flasher/FlasherImpl.h"
#include "hw/catalogue/AdapterCatalogue.h"

namespace
{
constexpr uint32_t kSkuRegister = 0x2128C;
constexpr uint32_t kSkuBit0Register = 0x216AC;
constexpr uint32_t kSkuBit1Register = 0x216B0;
constexpr uint32_t kSkuBit2Register = 0x216B4;
constexpr uint8_t kSkuSignatureType = 3;
constexpr uint32_t kOldPackageFormat = 1;

const char* const kShortRefusal = "\nUpdate Aborted - Invalid firmware image detected.\n";

struct Refusal
{
    const char* logLine;
    const char* detailed;
};

const Refusal kUncertified{"BCRT Error: VBIOS uncertified",
                           "\nERROR: VBIOS uncertified, Update aborted\n"};
const Refusal kOldCertificate{"BCRT Error: Invalid Certificate Version found",
                              "\nERROR:BIOS Cert Verification Error, Update aborted\n"};
const Refusal kScripts{"GPU Initialization scripts signature check failed. Update aborted.",
                       "\nGPU Initialization scripts signature check failed. Update aborted.\n"};
const Refusal kTables{"GPU Initialization tables signature check failed. Update aborted.",
                      "\nGPU Initialization tables signature check failed. Update aborted.\n"};
const Refusal kCertificate20{"BCRT Error: Certificate 2.0 verification failed",
                             "\nBIOS Cert 2.0 Verification Error, Update aborted.\n"};
const Refusal kChainFailed{"BCRT Error: Certificate verification failed",
                           "\nERROR:BIOS Cert Verification Error, Update aborted\n"};

// Logs the refusal and shows it: in detail with the progress shown, else
// only the short line, the detail staying in the log file.
int32_t Refuse(IUserInterface& ui, const Refusal& refusal, bool showProgress, CLog* log,
               int32_t result = kCertificateRefused)
{
    LogLine(log, showProgress ? 4 : 3, std::string("\n") + refusal.logLine);
    ui.ShowMessage(1, showProgress ? refusal.detailed : kShortRefusal);
    return result;
}

uint32_t HardwareSku(IDisplayAdapter& adapter, int32_t deviceKind)
{
    if (deviceKind == static_cast<int32_t>(kDeviceKindCendra2))
    {
        return (adapter.Read32(kSkuBit2Register) & 1) << 2 |
               (adapter.Read32(kSkuBit1Register) & 1) << 1 | (adapter.Read32(kSkuBit0Register) & 1);
    }
    return adapter.Read32(kSkuRegister) & 7;
}
} // namespace

bool IsAcceptedCertificateLevel(int32_t level)
{
    return level >= kCertificationFirstVendor && level <= kCertificationLastVendor;
}

int32_t CFlasherImpl::CheckInSoftware(CRefPtr<IROMImage> image, CLog* log, bool showProgress)
{
    if (!m_certificateGate.verifyCertificateChain)
    {
        return Refuse(*m_services.userInterface(), kChainFailed, showProgress, log);
    }
    const int32_t level = m_certificateGate.verifyCertificateChain(image, log);
    if (level == kCertificationNoPackage)
    {
        return Refuse(*m_services.userInterface(), kUncertified, showProgress, log);
    }
    // Only the vendor levels pass; a failed chain and any answer the check
    // is not known to give are refused.
    return IsAcceptedCertificateLevel(level)
               ? kCertificateAccepted
               : Refuse(*m_services.userInterface(), kChainFailed, showProgress, log);
}

void CFlasherImpl::SetCertificateGateServices(CertificateGateServices services)
{
    m_certificateGate = std::move(services);
}

int32_t CFlasherImpl::VerifyImageCertificate(CRefPtr<IDisplayAdapter> adapter,
                                             CRefPtr<IROMImage> image, CRefPtr<IEEPROM> eeprom,
                                             CRefPtr<IBCRTCert> certificate, CLog* log,
                                             bool showProgress)
{
    if (!eeprom->IsSecure())
    {
        return kCertificateAccepted;
    }
    const int32_t kind = adapter->GetDevice()->GetDeviceKind();
    if (TraitsOfDeviceKind(kind).softwareGate)
    {
        // The EEPROM behind the microcontroller writes only the image the
        // gate let through: it learns the verdict with the image, and a
        // check that throws leaves it refused.
        eeprom->SetSoftwareVerdict(nullptr);
        const int32_t verdict = CheckInSoftware(image, log, showProgress);
        eeprom->SetSoftwareVerdict(verdict == kCertificateAccepted ? image.get() : nullptr);
        return verdict;
    }

    const int32_t package = m_certificateGate.findCertificatePackage
                                ? m_certificateGate.findCertificatePackage(image)
                                : -1;
    if (package == -1)
    {
        return Refuse(*m_services.userInterface(), kUncertified, showProgress, log);
    }
    if (image->GetDword(package) == kOldPackageFormat)
    {
        return Refuse(*m_services.userInterface(), kOldCertificate, showProgress, log);
    }
    LogLine(log, 3, "\nBCRT: Start Certificate 2.0 verification by PMU");
    const int32_t verified = m_certificateGate.verifyByMicrocode
                                 ? m_certificateGate.verifyByMicrocode(
                                       adapter, eeprom, image, certificate, log, showProgress)
                                 : kCertificateRefused;
    if (verified == kMicrocodeScriptsSignatureFailed)
    {
        return Refuse(*m_services.userInterface(), kScripts, showProgress, log, verified);
    }
    if (verified == kMicrocodeTablesSignatureFailed)
    {
        return Refuse(*m_services.userInterface(), kTables, showProgress, log, verified);
    }
    if (verified != kCertificateAccepted)
    {
        return Refuse(*m_services.userInterface(), kCertificate20, showProgress, log, verified);
    }
    if (HardwareSku(*adapter, kind) != 0 && image->GetDevinitSignatureType() != kSkuSignatureType)
    {
        // The microcode accepted the image, the gate does not.
        eeprom->SetSoftwareVerdict(nullptr);
        LogLine(log, 4, "\nCompatibility Error: Invalid ROMVISE Version found");
        m_services.userInterface()->ShowMessage(1,
                                                "\nThis version of Romvise is not compatible with "
                                                "this version of HW SKU, Update aborted.\n");
        return kCertificateRefused;
    }
    return kCertificateAccepted;
}
