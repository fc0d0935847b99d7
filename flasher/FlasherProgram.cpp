// Programming a whole firmware image into an adapter's EEPROM: the board's
// own data carried over, the certificate gate, write protection, the write,
// the read-back and the compare.

#include "flasher/FlasherImpl.h"

#include <stdexcept>

void CFlasherImpl::FlashImage(CRefPtr<IUserInterface>, CRefPtr<IROMImage>, bool, bool, bool,
                              CRefPtr<IDisplayAdapter>, CRefPtr<IEEPROM>,
                              CRefPtr<IEEPROMDatabase>, uint32_t, CLog*, CRefPtr<IBCRTCert>, bool)
{
    throw std::runtime_error("Image programming is not available yet.");
}
