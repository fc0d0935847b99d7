#pragma once
// The driver for standard SPI serial-flash parts of many makers: identification
// through four ID commands in a fixed order, chip and block erase, page
// programming (with the auto-address-increment programming older SST parts
// need), status-register block protection, and optional reads by SPI command.

#include "eeprom/EEPROMSerialImpl.h"

class CEEPROMSerialAtmelImpl : public CEEPROMSerialImpl
{
public:
    // Continuation codes (0x7F) read before giving up on a manufacturer.
    static constexpr int kMaxContinuationCodes = 16;
    static constexpr int kProtectionTries = 3;

    CEEPROMSerialAtmelImpl(CRefPtr<IDevice> device, int32_t retryCount, bool softwareRead);

    bool Identify(IEEPROMDatabase* database, CLog& log) override;
    void EraseChip(IUserInterface* ui, CLog& log) override;
    uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count, bool showProgress,
                        CLog& log) override;
    void SetProtection(bool lock, CLog& log) override;

protected:
    void ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                     CLog& log) override;
    void ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer) override;
    // Samples the data line before each clock pulse (SPI mode 0).
    uint8_t ReceiveByte() override;

private:
    uint8_t ReadStatusQuietly();
    uint8_t ReadStatus(CLog& log);
    void CheckUnprotected(uint8_t status, const char* message, CLog& log);
    // The identification reads, each leaving the codes the part answered.
    void ReadJedecId(uint8_t& manufacturer, uint16_t& device, CLog& log);
    void ReadLegacyId(uint8_t& manufacturer, uint16_t& device, CLog& log);
    void ReadSstId(uint8_t& manufacturer, uint16_t& device, CLog& log);
    void ReadAtmelId(uint8_t& manufacturer, uint16_t& device, CLog& log);
    void ReadStId(uint8_t& manufacturer, uint16_t& device, CLog& log);
    void CheckWriteEnabled(uint8_t status, const char* message, CLog& log);
    void ProgramPageOnce(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                         CLog& log);

    bool m_autoUnprotect = true;
};
