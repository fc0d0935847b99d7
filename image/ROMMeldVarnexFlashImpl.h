#pragma once
// The Varnex block in the PCI expansion-ROM chain. The Varnex store must begin
// on a 4096-byte (sector) boundary of the EEPROM image while PCI blocks begin
// on 512-byte boundaries, so the block is laid out around that boundary:
//
//   B          block header (32 bytes)
//   B + 0x20   PCI data structure (24 bytes), then 8 zero bytes
//   B + 0x40   KPDE extension (12 bytes), then zero bytes up to
//   V - 30     the NBSI directory (14 bytes for the Varnex block's two objects)
//   V - 16     object record 0 ("IR")
//   V          the Varnex store (object 0's data), then record 1 ("IB") and
//              the backup store
// V is the first 4096-byte boundary that leaves room for everything before it.

#include "image/IROMImage.h"
#include "image/NBSIPCIBlock.h"
#include "image/ROMMeldImpl.h"
#include "varnex/VarnexImage.h"

#include <cstdint>
#include <vector>

class CLog;

// The absolute image offsets of one Varnex block.
struct VarnexRomLayout
{
    uint32_t blockOffset = 0;
    uint32_t pcirOffset = 0;
    uint32_t gap1 = 0;
    uint32_t kpdeOffset = 0;
    uint32_t gap2 = 0;
    uint32_t directoryOffset = 0;
    uint32_t varnexOffset = 0;
};

class CROMMeldVarnexFlashImpl : public CROMMeldImpl
{
public:
    // A new object; the caller's smart pointer takes the first reference.
    static CROMMeldVarnexFlashImpl* Create() { return new CROMMeldVarnexFlashImpl(); }

    // The layout of a block at blockOffset; false (with a trace) when the
    // offset is not on a 512-byte boundary.
    bool ComputeVarnexRomLayout(uint32_t blockOffset, VarnexRomLayout& layout, CNBSIPCIBlock* block,
                                CLog* log);
    // Writes the block's header fields: directory and PCI data structure
    // pointers, both image lengths, and optionally the private marks and the
    // last-image indicators.
    void WriteVarnexRomHeaderFields(IROMImage* image, const VarnexRomLayout& layout,
                                    uint32_t blockLength, bool isPrivate, bool isLast);
    // A new image holding only the block, laid out from offset 0; null
    // without a block.
    CRefPtr<IROMImage> BuildBlankVarnexRom(IROMImage* reference, CNBSIPCIBlock* block, CLog* log);
    // Appends the source's Varnex block to the target's chain so that its
    // store lands on a 4096-byte boundary; returns the target, or null (the
    // target then unchanged). std::runtime_error "Varnex Image size is zero"
    // when the source has no Varnex store.
    CRefPtr<IROMImage> AppendVarnexToRomChain(IROMImage* target, IROMImage* source, CLog* log);

private:
    // The steps of an append.
    struct AppendSource
    {
        int32_t block = -1;
        uint32_t length = 0;
        uint32_t window = 0;
    };
    struct AppendTarget
    {
        int64_t block = 0;
        uint32_t window = 0;
        bool isPrivate = false;
    };
    static AppendSource FindAppendSource(IROMImage* source);
    static AppendTarget FindAppendTarget(IROMImage* target, IROMImage* source, int32_t sourceBlock);
    static CNBSIPCIBlockVarnex ReadSourceBlock(IROMImage* source);
    static CRefPtr<IROMImage> FailMerge(CLog* log, const char* what);
    static bool IsLaidOutForItsPlace(IROMImage* source, const VarnexRomLayout& sourceLayout);
    CRefPtr<IROMImage> AppendLaidOutAfresh(IROMImage* target, IROMImage* source,
                                           CNBSIPCIBlockVarnex& block, CLog* log);
    CRefPtr<IROMImage> BuildAppendedBlock(IROMImage* source, const VarnexRomLayout& sourceLayout,
                                          uint32_t sourceLength,
                                          const VarnexRomLayout& targetLayout, bool isPrivate,
                                          CLog* log);
    static CRefPtr<IROMImage> WriteIntoChain(IROMImage* target, IROMImage* added,
                                             const VarnexRomLayout& targetLayout,
                                             uint32_t targetWindow, CLog* log);
};

// The data of NBSI object "IR" (the Varnex store) or "IB" (its backup) of an
// image's Varnex block; empty when the image has none.
std::vector<uint8_t> ReadVarnexObjectBytes(IROMImage* image, uint16_t type);
// The store itself, null when the image holds none.
CRefPtr<CVarnexImage> ReadVarnexStore(IROMImage* image, bool backup);
