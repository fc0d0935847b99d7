#pragma once
// Firmware carrying Varnex stores in the layout the engine writes: the
// store, and its backup copy when one is given, appended to the PCI chain.

#include "image/IROMImage.h"
#include "image/NBSIPCIBlock.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldVarnexFlashImpl.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace testkit
{

inline std::vector<uint8_t> WithVarnexBlock(const std::vector<uint8_t>& firmware,
                                            const std::vector<uint8_t>& store,
                                            const std::vector<uint8_t>& backup = {})
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(firmware.data(), static_cast<uint32_t>(firmware.size()));
    CRefPtr<CROMMeldVarnexFlashImpl> merger(CROMMeldVarnexFlashImpl::Create());
    CNBSIPCIBlockVarnex block(store, backup);
    CRefPtr<IROMImage> laidOut = merger->BuildBlankVarnexRom(image.get(), &block, nullptr);
    if (!merger->AppendVarnexToRomChain(image.get(), laidOut.get(), nullptr))
    {
        throw std::logic_error("the Varnex block does not fit the firmware");
    }
    COffsetModeScope off(image.get(), false);
    return {image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize()};
}

} // namespace testkit
