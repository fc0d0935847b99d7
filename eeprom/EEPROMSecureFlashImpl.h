#pragma once
// The EEPROM of the later GPU generations, which the host cannot reach
// itself: every chip operation is a command to the signed microcode that a
// Kestrix loader has started on the GPU's pmu engine. The loader is attached
// after construction (SetLoader) by whoever created the EEPROM.
//
// Writing an image goes through the certificate information that the image
// verification (VerifyImage) left in the loader: it lists the protected areas
// of the image, and each protected area must travel in one program command.
// Without that information, or when its ranges do not cover the image exactly,
// nothing is written.

#include "eeprom/EEPROMSerialImpl.h"
#include "eeprom/KestrixLoader.h"

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
// certificate information asks for, in order. std::domain_error when there is
// no certificate information, when it is malformed or not finalized, and when
// its ranges do not tile the span exactly (a gap, an overlap or a range past
// the span's end).
std::vector<VpdaWriteRange> ComputeVpdaWriteRanges(const KestrixCertificateInformation& info,
                                                   uint32_t offset, uint32_t count);

class CEEPROMSecureFlashImpl : public CEEPROMSerialImpl
{
public:
    static constexpr int kProtectionTries = 3;
    static constexpr int32_t kEraseFirstDeviceKind = 9;

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

    // Programs count bytes of the image from imageOffset at address with EWR
    // commands; eraseAware leaves the erasing to the caller.
    void Program(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                 bool eraseAware, bool reserved, CLog& log);
    // The write ranges of [imageOffset, imageOffset + count) from the
    // certificate information of the last verification.
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
    void EraseBeforeWrite(IUserInterface* ui, uint32_t address, uint32_t count, CLog& log);

    CRefPtr<CKestrixLoader> m_loader;
};
