#pragma once
// The EEPROM of the later GPU generations, which the host cannot reach
// itself: every chip operation is a command to the signed microcode that a
// Kestrix loader has started on the GPU's pmu engine. The loader is attached
// after construction (SetLoader) by whoever created the EEPROM.
//
// Nothing is written until an image has passed the certificate check: the
// microcode's image verification (VerifyImage) or, for adapters whose images
// are checked in software, the certificate gate's verdict
// (SetSoftwareVerdict). The acceptance belongs to the image it was given for:
// it keeps a digest of the bytes the check vouched for (the image's signed
// ranges and the protected areas of its certificate information), a write
// whose bytes there differ is refused before anything is erased, and the
// first write that passes uses the acceptance up. The certificate
// information a verification left in the loader lists the protected areas of
// the image, and each protected area must travel in one program command;
// without that information the span goes in pieces of the microcode's data
// buffer. Information whose ranges do not cover the span exactly refuses the
// write.

#include "eeprom/EEPROMSerialImpl.h"
#include "eeprom/KestrixLoader.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <array>
#include <optional>
#include <vector>

// One program command of a secure write: an image offset that is also the
// EEPROM address, and a byte count.
struct VpdaWriteRange
{
    uint32_t offset = 0;
    uint32_t length = 0;
    bool operator==(const VpdaWriteRange&) const = default;
};

// The write ranges of the image span [offset, offset + count) that the
// certificate information asks for, in order; empty when the verification
// returned no certificate information. std::domain_error when the information
// is malformed or not finalized, and when its ranges do not tile the span
// exactly (a gap, an overlap or a range past the span's end).
std::vector<VpdaWriteRange> ComputeVpdaWriteRanges(const KestrixCertificateInformation& info,
                                                   uint32_t offset, uint32_t count);
// The same, and in `protectedAreas` those of the ranges that are protected
// areas (entries, and regions 2 and 3 together) rather than gaps between them.
std::vector<VpdaWriteRange> ComputeVpdaWriteRanges(const KestrixCertificateInformation& info,
                                                   uint32_t offset, uint32_t count,
                                                   std::vector<VpdaWriteRange>& protectedAreas);

// What an acceptance vouches for: ranges of the accepted image's buffer, which
// are the EEPROM addresses the image is written to, and a digest of their
// bytes as they were checked.
struct SecureWriteVerdict
{
    std::vector<VpdaWriteRange> ranges;
    std::array<uint8_t, 32> digest{};
};

// The verdict on `image`: its signed ranges and the given protected areas,
// or, when neither names a byte, the image's whole loaded content.
SecureWriteVerdict BindSecureWriteVerdict(IROMImage& image,
                                          const std::vector<VpdaWriteRange>& protectedAreas);
// True when the bytes `image` would write at the verdict's ranges are those
// that were checked (the image offset being the EEPROM address).
bool ImageMatchesVerdict(IROMImage& image, const SecureWriteVerdict& verdict);

class CEEPROMSecureFlashImpl : public CEEPROMSerialImpl
{
public:
    static constexpr int kProtectionTries = 3;
    static constexpr int32_t kEraseFirstDeviceKind = static_cast<int32_t>(kDeviceKindCendra1);

    CEEPROMSecureFlashImpl(CRefPtr<IDevice> device, int32_t retryCount, bool softwareRead);

    bool Identify(IEEPROMDatabase* database, CLog& log) override;
    void EraseChip(IUserInterface* ui, CLog& log) override;
    uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count, bool showProgress,
                        CLog& log) override;
    void SetProtection(bool lock, CLog& log) override;
    uint32_t WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image, int32_t imageOffset,
                        uint32_t count, bool eraseAware, bool reserved, CLog& log) override;
    void SetLoader(CKestrixLoader* loader) override { m_loader = CRefPtr<CKestrixLoader>(loader); }
    CKestrixLoader* GetLoader() override { return m_loader.get(); }
    void RunConsole() override;
    void RunConsoleWithMessage(const std::string& message) override;
    uint32_t VerifyImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                         CRefPtr<IBCRTCert> certificate, CLog& log, bool console) override;
    void SetSoftwareVerdict(IROMImage* accepted) override;

    // Programs count bytes of the image from imageOffset at address with EWR
    // commands; eraseAware leaves the erasing to the caller.
    void Program(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                 bool eraseAware, bool reserved, CLog& log);
    // The write ranges of [imageOffset, imageOffset + count) from the
    // certificate information of the last verification; empty when there is
    // none (the span then goes in data-buffer pieces). std::domain_error when
    // no image has passed the certificate check.
    std::vector<VpdaWriteRange> CheckVpda(uint32_t imageOffset, uint32_t count);

protected:
    void ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                     CLog& log) override;
    void ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer) override;
    // The chip is never clocked by the host here.
    uint8_t ReceiveByte() override { return 0xFF; }

private:
    // The attached loader, or std::runtime_error.
    CKestrixLoader& Loader(CLog& log);
    // The status register through the microcode; throws with `protectedText`
    // when a write-protect bit is set.
    void CheckUnprotected(const char* protectedText, CLog& log);
    void RequireKnownPart(CLog& log);
    // Every check a write can fail before the chip is touched.
    void CheckWritable(IROMImage* image, uint32_t imageOffset, uint32_t count,
                       const std::vector<VpdaWriteRange>& ranges, CLog& log);
    // The image to write carries the bytes the acceptance was given for;
    // the acceptance is used up.
    void TakeVerdict(IROMImage& image);
    // Erases the whole erase blocks the span touches; the bytes of those
    // blocks outside the span are read first and programmed back.
    void EraseBeforeWrite(IUserInterface* ui, uint32_t address, uint32_t count, CLog& log);
    void EraseBlocks(IUserInterface* ui, uint32_t address, uint32_t count, CLog& log);
    std::vector<uint8_t> ReadKept(uint32_t address, uint64_t count);
    // Programs bytes the chip held before (the chip is erased there).
    void ProgramBack(uint32_t address, const std::vector<uint8_t>& bytes, CLog& log);

    // Which check let the next write through.
    enum class EAcceptance
    {
        None,
        Microcode, // a verification succeeded; its certificate information cuts the write
        Software,  // the certificate gate accepted the image in software
    };

    CRefPtr<CKestrixLoader> m_loader;
    EAcceptance m_acceptance = EAcceptance::None;
    std::optional<SecureWriteVerdict> m_verdict;
};
