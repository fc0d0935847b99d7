#pragma once
// The driver for SST serial parts that use SST's own command set: two
// manufacturer/device reads, two-phase erase commands confirmed by 0xD0, a page
// programmed in one command frame, a status byte that reports ready in bit 0,
// and no software write protection. The part drives its data line on the
// rising clock edge, so a bit is sampled after the clock pulse.

#include "eeprom/EEPROMSerialImpl.h"

class CEEPROMSerialSSTImpl : public CEEPROMSerialImpl
{
public:
    static constexpr uint32_t kStatusPolls = 400000;

    CEEPROMSerialSSTImpl(CRefPtr<IDevice> device, int32_t retryCount, bool softwareRead);

    bool Identify(IEEPROMDatabase* database, CLog& log) override;
    void EraseChip(IUserInterface* ui, CLog& log) override;
    uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count, bool showProgress,
                        CLog& log) override;
    void SetProtection(bool lock, CLog& log) override;

protected:
    void ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                     CLog& log) override;
    void ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer) override;
    uint8_t ReceiveByte() override;
    // Polls the status byte (opcode 0x9F) until its ready bit 0 is set.
    void WaitWhileBusySST();
};
