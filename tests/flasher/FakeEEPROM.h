#pragma once
// An EEPROM of any geometry, held in memory, that records the writes and
// protection changes asked of it; it can drop the first byte of a write to
// give a read-back that differs.

#include "eeprom/IEEPROM.h"

#include <algorithm>
#include <optional>
#include <vector>

struct FakeWrite
{
    uint32_t address;
    uint32_t count;
    bool operator==(const FakeWrite&) const = default;
};

class CFakeEEPROM : public CReferenceCountImpl, public IEEPROM
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CFakeEEPROM(uint16_t bytesPerPage, uint16_t kbytesPerBlock, bool eraseBeforeWrite,
                bool writeProtectOff = false, uint32_t sizeKbit = 4096)
        : bytes(sizeKbit * 128u, 0xFF)
    {
        type.ManufacturerID = 0xEF;
        type.DeviceID = 0x3013;
        type.BytesPerPage = bytesPerPage;
        type.KbytesPerBlock = kbytesPerBlock;
        type.EraseReqBeforeChipSectorWrite = eraseBeforeWrite;
        type.WriteProtectOff = writeProtectOff;
        type.SizeDepthInKbit = static_cast<uint16_t>(sizeKbit);
        type.SizeWidthBits = 1;
    }

    bool Identify(IEEPROMDatabase*, CLog&) override { return true; }
    std::ostream& Describe(std::ostream& out) override
    {
        return out << "EEPROM ID (EF,3013) : fake";
    }
    const CEEPROMType& GetType() override { return type; }
    uint32_t WriteImage(IUserInterface*, uint32_t address, IROMImage* image, int32_t imageOffset,
                        uint32_t count, bool, bool, CLog&) override
    {
        writes.push_back({address, count});
        for (uint32_t i = 0; i < count && address + i < bytes.size(); ++i)
        {
            bytes[address + i] = image->GetByte(imageOffset + static_cast<int32_t>(i));
        }
        if (dropFirstByte && count > 0)
        {
            bytes[address] = static_cast<uint8_t>(~bytes[address]);
        }
        return shortWrite ? count - 1 : count;
    }
    uint32_t Read(IUserInterface*, uint32_t, uint32_t, int32_t, IROMImage*, CLog&) override
    {
        return 0;
    }
    // The microcontroller's answer to an image verification.
    uint32_t VerifyImage(CRefPtr<IDisplayAdapter>, CRefPtr<IROMImage>, CRefPtr<IBCRTCert>, CLog&,
                         bool) override
    {
        ++verifications;
        return microcodeVerdict;
    }
    void SetSoftwareVerdict(IROMImage* accepted) override { softwareVerdict = accepted != nullptr; }
    CRefPtr<IROMImage> ReadImage(IUserInterface*, uint32_t count, CLog&) override
    {
        const uint32_t size = std::min<uint32_t>(count, static_cast<uint32_t>(bytes.size()));
        return IROMImage::CreateFromBuffer(bytes.data(), size);
    }
    CRefPtr<IROMImage> ReadImageCopy(IUserInterface* ui, uint32_t count, CLog& log) override
    {
        return ReadImage(ui, count, log);
    }
    void EraseChip(IUserInterface*, CLog&) override { std::fill(bytes.begin(), bytes.end(), 0xFF); }
    uint32_t ErasePages(IUserInterface*, uint32_t, uint32_t count, bool, CLog&) override
    {
        return count;
    }
    void SetProtection(bool lock, CLog&) override { protectionChanges.push_back(lock); }
    bool IsSecure() override { return secure; }
    void SetLoader(CKestrixLoader* attached) override { loader = attached; }
    CKestrixLoader* GetLoader() override { return loader; }
    void RunConsole() override {}
    void RunConsoleWithMessage(const std::string&) override {}

    CEEPROMType type;
    uint32_t microcodeVerdict = 0;
    int verifications = 0;
    // The certificate gate's last software verdict, if it gave one.
    std::optional<bool> softwareVerdict;
    std::vector<uint8_t> bytes;
    std::vector<FakeWrite> writes;
    std::vector<bool> protectionChanges;
    bool dropFirstByte = false;
    bool shortWrite = false;
    bool secure = false;
    CKestrixLoader* loader = nullptr;
};
