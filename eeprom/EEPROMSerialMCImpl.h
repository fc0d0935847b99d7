#pragma once
// The EEPROM behind the PCI Express switch: a small serial EEPROM that the
// switch reads and writes itself through its EEPROM controller. Double words
// go through the device's ROM double-word operations. The part is never asked
// for its IDs: it is always the catalogue's 47/8747 part (4 KiB, 32-byte
// pages, no erase before write, no block erase). Byte 0 of its contents is the
// signature 0x5A the switch looks for.

#include "eeprom/EEPROMBaseImpl.h"

class CEEPROMSerialMCImpl : public CEEPROMBaseImpl
{
public:
    static constexpr uint8_t kManufacturer = 0x47;
    static constexpr uint16_t kDevice = 0x8747;
    static constexpr uint8_t kSignature = 0x5A;
    static constexpr int kCompletionPolls = 1000;

    CEEPROMSerialMCImpl(CRefPtr<IDevice> device, int32_t retryCount);

    bool Identify(IEEPROMDatabase* database, CLog& log) override;
    uint32_t Read(IUserInterface* ui, uint32_t address, uint32_t count, int32_t imageOffset,
                  IROMImage* destination, CLog& log) override;
    CRefPtr<IROMImage> ReadImage(IUserInterface* ui, uint32_t count, CLog& log) override;
    void EraseChip(IUserInterface* ui, CLog& log) override;
    uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count, bool showProgress,
                        CLog& log) override;
    void SetProtection(bool lock, CLog& log) override;

protected:
    void ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                     CLog& log) override;
    void ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer) override;

private:
    void EnsureSignature(CLog& log);
    void WritePageDwords(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count);
    bool WaitForPageWritten(uint32_t lastAddress, uint8_t lastWanted, CLog& log);

    int32_t m_retryCount;
};
