#pragma once
// One adapter's firmware EEPROM: identifies the part on the device, describes
// it, reads it into firmware images, erases it, programs a new image into it
// (compare, erase and program erase block by erase block, every programmed
// page read back) and switches its software write protection.
//
// Failures are exceptions carrying the text the user sees. Every operation
// that touches the chip holds the device's ROM access open for its duration.

#include "common/core/crypto/Certificate.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/EEPROMType.h"
#include "eeprom/IEEPROMDatabase.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/device/IDevice.h"
#include "image/IROMImage.h"

#include <cstdint>
#include <ostream>
#include <string>

class CKestrixLoader;

class IEEPROM : public IReferenceCount
{
public:
    // Asks the chip for its IDs and looks the part up; true when the part is
    // known (and, for the SPI classes, a serial part). The work is done once
    // per object: a failed identification is not repeated.
    virtual bool Identify(IEEPROMDatabase* database, CLog& log) = 0;
    // "EEPROM ID (mm,dddd) : " and the part, without a line end.
    virtual std::ostream& Describe(std::ostream& out) = 0;
    virtual const CEEPROMType& GetType() = 0;
    // Writes `count` bytes of `image` from `imageOffset` to the EEPROM at
    // `address`; returns the bytes written. With `eraseAware` a block whose
    // new contents need a 0-to-1 change is erased first. `reserved` has no
    // effect. The user interface may be null (no progress).
    virtual uint32_t WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image,
                                int32_t imageOffset, uint32_t count, bool eraseAware, bool reserved,
                                CLog& log) = 0;
    // Reads into `destination` at `imageOffset`; the count is cut at the end
    // of the part. Returns the bytes read.
    virtual uint32_t Read(IUserInterface* ui, uint32_t address, uint32_t count, int32_t imageOffset,
                          IROMImage* destination, CLog& log) = 0;
    // A new image with the EEPROM contents from address 0, parsed.
    virtual CRefPtr<IROMImage> ReadImage(IUserInterface* ui, uint32_t count, CLog& log) = 0;
    // A new image read byte by byte through the device's ROM shadow window.
    virtual CRefPtr<IROMImage> ReadImageCopy(IUserInterface* ui, uint32_t count, CLog& log) = 0;
    virtual void EraseChip(IUserInterface* ui, CLog& log) = 0;
    // Erases whole erase blocks; returns the bytes erased.
    virtual uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count,
                                bool showProgress, CLog& log) = 0;
    virtual void SetProtection(bool lock, CLog& log) = 0;
    // True for the EEPROM reached through the microcontroller's microcode.
    virtual bool IsSecure() = 0;
    // The microcode loader of the secure path; the other classes keep none.
    virtual void SetLoader(CKestrixLoader* loader) = 0;
    virtual CKestrixLoader* GetLoader() = 0;
    virtual void RunConsole() = 0;
    virtual void RunConsoleWithMessage(const std::string& message) = 0;
    // Has the microcontroller verify the new image against its signing
    // certificate (null: none) and returns the microcode's result; the
    // certificate information it returns governs the next WriteImage, which
    // must write this image. With `console` the microcode's messages go to
    // the user interface. An EEPROM without a microcontroller has nothing to
    // verify and returns 0.
    virtual uint32_t VerifyImage(CRefPtr<IDisplayAdapter>, CRefPtr<IROMImage>,
                                 CRefPtr<IBCRTCert>, CLog&, bool)
    {
        return 0;
    }
    // The certificate gate's verdict on the image about to be written, for
    // adapters whose images are checked in software rather than by their
    // microcontroller: the image it accepted, or null when it refused one.
    // An acceptance lets exactly one write through, of the bytes that were
    // checked; nothing is written until an image is accepted. EEPROMs without
    // a microcontroller write without a verdict.
    virtual void SetSoftwareVerdict(IROMImage* /*accepted*/) {}

protected:
    ~IEEPROM() = default;
};

// The EEPROM class for a device, or null when its EEPROM type has no driver.
// `romType` is the EEPROM type the adapter reports (1 standard SPI, 2 SST
// serial, 3 the switch's EEPROM). `retryCount` is the number of program and
// verify attempts per page; `softwareRead` reads the chip with SPI read
// commands instead of through the ROM window. Device kinds that reach their
// EEPROM only through the microcontroller get no direct driver unless
// `noMicrocontroller` is set (their secure driver needs the adapter).
CRefPtr<IEEPROM> CreateEEPROM(CRefPtr<IDevice> device, uint32_t romType, int32_t retryCount,
                              bool softwareRead, bool noMicrocontroller);
// The EEPROM class for an adapter, by the EEPROM type the adapter reports, or
// null when there is none. The driver opens the EEPROM through the adapter, so
// the registers the adapter's catalogue entry masks during EEPROM access are
// masked for every operation. Device kinds 9 to 13 get the secure EEPROM,
// reached through the microcontroller, unless `noMicrocontroller` is set; its
// loader is attached with SetLoader before any other operation.
CRefPtr<IEEPROM> CreateEEPROM(CRefPtr<IDisplayAdapter> adapter, int32_t retryCount,
                              bool softwareRead, bool noMicrocontroller);
