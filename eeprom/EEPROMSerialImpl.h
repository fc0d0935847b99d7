#pragma once
// The software SPI transport: the EEPROM's pins driven bit by bit through the
// device's EEPROM control register.
//
//   bit 0  software control of the SPI pins (set while the driver owns them)
//   bit 1  chip select, active low
//   bit 2  clock
//   bit 3  data out (to the part)
//   bit 4  data in (from the part)
//
// Every register write is read back, and every clock edge is followed by a
// dummy read of register 0x200, so that each edge has reached the pins before
// the next one.

#include "core/TextHelpers.h"
#include "eeprom/EEPROMBaseImpl.h"

#include <algorithm>
#include <initializer_list>
#include <string>

class CEEPROMSerialImpl : public CEEPROMBaseImpl
{
public:
    CEEPROMSerialImpl(CRefPtr<IDevice> device, int32_t retryCount, bool softwareRead)
        : CEEPROMBaseImpl(std::move(device)), m_retryCount(retryCount), m_softwareRead(softwareRead)
    {
    }

protected:
    // Bit 4 of the control register: the part's data line.
    static bool DataIn(uint32_t control) { return (control & (1u << 4)) != 0; }

    // Owns the SPI pins for a scope: enters software SPI, and on every way
    // out, a failure while entering included, releases chip select and leaves
    // software SPI.
    class CSoftwareSpiSession
    {
    public:
        explicit CSoftwareSpiSession(CEEPROMSerialImpl& owner);
        ~CSoftwareSpiSession();
        CSoftwareSpiSession(const CSoftwareSpiSession&) = delete;
        CSoftwareSpiSession& operator=(const CSoftwareSpiSession&) = delete;

    private:
        void LeaveQuietly() noexcept;

        CEEPROMSerialImpl& m_owner;
    };

    virtual void SendByte(uint8_t value);
    virtual uint8_t ReceiveByte() = 0;

    uint32_t ReadControl();
    void WriteControl(uint32_t value);
    void EnterSoftwareSpi();
    void LeaveSoftwareSpi();
    void SelectChip();
    void DeselectChip();
    void PulseClock();
    void SendAddress(uint32_t address);
    // Select, send the bytes, deselect.
    void SendFrame(std::initializer_list<uint8_t> bytes);
    // Waits `firstDelay`, then polls the status register (opcode 0x05) up to
    // 1000 times, `pollDelay` apart, until its busy bit 0 is clear.
    void WaitWhileBusy(uint32_t firstDelay, uint32_t pollDelay);
    static void Delay(uint32_t microseconds);
    // The part's erase block, when [address, address + count) is a run of whole
    // blocks inside the part; otherwise the error that refuses the request.
    uint32_t EraseBlockFor(uint32_t address, uint32_t count) const;

    // Programs a page with `programOnce` and reads it back, as many times as
    // the retry count allows and at least once: with none the page would be
    // left unwritten and the write reported whole. False when the last
    // read-back still differs; MismatchText(count) is then the error.
    template <class ProgramOnce>
    bool ProgramAndVerifyPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                              uint32_t count, CLog& log, ProgramOnce programOnce);
    static std::string MismatchText(uint32_t count);

    // Reads go by SPI command instead of through the ROM window.
    bool ReadsBySoftware() const { return m_softwareRead; }

private:
    // The control register as last read back.
    uint32_t m_control = 0;
    int32_t m_retryCount;
    bool m_softwareRead;
};

template <class ProgramOnce>
bool CEEPROMSerialImpl::ProgramAndVerifyPage(uint32_t address, IROMImage* image,
                                             int32_t imageOffset, uint32_t count, CLog& log,
                                             ProgramOnce programOnce)
{
    LogDetail(log, "Program page.");
    LogDetail(log, "Start: 0x" + ToHex(address, 8));
    LogDetail(log, "Count: " + std::to_string(count));
    CEEPROMEnabler enabler(DevicePtr(), AdapterPtr());
    const int32_t attempts = std::max<int32_t>(m_retryCount, 1);
    for (int32_t attempt = 0; attempt < attempts; ++attempt)
    {
        programOnce();
        if (VerifyPage(address, image, imageOffset, count, attempt, log))
        {
            LogDetail(log, "Page verification complete.");
            return true;
        }
    }
    return false;
}
