#pragma once
// A firmware image held in memory: a fixed 3 MiB buffer filled with 0xFF, the
// count of loaded bytes and the knowledge of one image kind (GPU firmware with
// its PCI expansion-ROM chain, a GPU UEFI driver file, or a bridge EEPROM).
//
// Offsets are signed 32-bit values, -1 meaning "none" or "not found"; they are
// compared unsigned, so -1 fails every bound test. Offsets go through the
// image's window (GPU images in offset mode see the chain at offset 0) unless
// an operation says it uses buffer offsets.

#include "core/RefCount.h"
#include "image/IImageAttachment.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// The size of every image buffer.
inline constexpr uint32_t kImageBufferSize = 0x300000;

// Image kinds, as GetImageType returns them and Create takes them.
enum EROMImageType : int32_t
{
    kROMImageBridgeZX22 = 1,
    kROMImageBridgePLX8747 = 2,
    kROMImageGPU = 3,
    kROMImageGPUEFI = 4,
};

// One selection record of a multi-image ROM file: a VField and the range of
// values for which the image is meant.
struct VFieldSelection
{
    uint32_t vfieldId = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;
};

class IROMImage : public IReferenceCount
{
public:
    // Factories. Each returns a new image that the returned pointer owns.
    static CRefPtr<IROMImage> Create(int32_t type);
    static CRefPtr<IROMImage> CreateFromBuffer(const uint8_t* bytes, uint32_t length);
    static CRefPtr<IROMImage> CreateFromFile(const std::string& fileName);
    static CRefPtr<IROMImage> CreateFromStream(std::istream& input, uint32_t totalLength);
    static CRefPtr<IROMImage> Clone(IROMImage* source);

    // Identity and names.
    virtual int32_t GetImageType() = 0;
    virtual void SetFileName(const std::string& name) = 0;
    virtual const char* GetFileNameCStr() = 0;
    virtual void SetBoardName(const std::string& name) = 0;
    virtual const std::string& GetBoardName() = 0;

    // Chain structure and validity.
    virtual bool HasValidSignature() = 0;
    virtual bool IsPCIROM() = 0;
    virtual bool IsErased() = 0;
    virtual std::string DumpPCIBlocks(int32_t detail) = 0;
    virtual int32_t FindPCIR(int32_t block) = 0;
    virtual uint32_t GetPCIBlockLength(int32_t block) = 0;
    virtual int32_t FindKPDE(int32_t block) = 0;
    virtual int32_t GetKPDESubsystemVendorIDOffset() = 0;
    virtual int32_t GetKPDESubsystemDeviceIDOffset() = 0;
    virtual uint32_t GetKPDELength(int32_t kpde) = 0;
    virtual uint32_t GetKPDEImageLength(int32_t block) = 0;
    virtual int32_t FindPCIBlockByCodeType(uint8_t codeType, int32_t start) = 0;
    virtual int32_t FindNthPCIBlock(uint8_t codeType, uint32_t n) = 0;
    virtual bool HasPCIR() = 0;
    virtual bool IsValid() = 0;
    virtual bool IsBlank() = 0;
    virtual uint8_t GetBlankByte(int32_t, int32_t) = 0;
    virtual bool IsOffsetSet(int32_t offset) = 0;

    // Sizes, walking and indicators.
    virtual uint32_t GetROMSize() = 0;
    virtual void SetPCIBlockLength(int32_t block, uint32_t length) = 0;
    virtual void UpdateROMSize(uint32_t size) = 0;
    virtual void UpdateROMSizeFlagged(uint32_t size) = 0;
    virtual int32_t NextPCIBlock(int32_t block) = 0;
    virtual bool GetPCIRIndicator(uint8_t& indicator, int32_t block) = 0;
    virtual bool GetKPDEIndicator(uint8_t& indicator, int32_t block) = 0;
    virtual bool SetPCIRLastImage(int32_t block, uint8_t extraBits) = 0;
    virtual bool SetKPDELastImage(int32_t block, uint8_t extraBits) = 0;
    virtual bool ClearPCIRLastImage(int32_t block, uint8_t extraBits) = 0;
    virtual bool ClearKPDELastImage(int32_t block, uint8_t extraBits) = 0;
    virtual std::string GetTypeName() = 0;
    virtual bool ReadPCIBlockPayload(std::vector<uint8_t>& payload, uint8_t codeType) = 0;
    virtual int32_t GetPCIBlockEnd(int32_t block) = 0;

    // Sums and checksums.
    virtual uint8_t Sum8(uint32_t start, uint32_t end) = 0;
    virtual uint8_t GetChecksumByte(uint32_t start, uint32_t end) = 0;
    virtual uint32_t GetCRC32(uint32_t count) = 0;
    virtual void FixChecksum() = 0;
    virtual void FixPCIBlockChecksum(int32_t block) = 0;

    // Files and streams (buffer offsets).
    virtual uint32_t LoadFromFile(const std::string& fileName) = 0;
    virtual uint32_t SaveToFile(const std::string& fileName, uint32_t start, uint32_t count) = 0;
    virtual uint32_t ReadFromStream(std::istream& input, uint32_t offset, uint32_t count) = 0;
    virtual uint32_t WriteToStream(std::ostream& output, uint32_t offset, uint32_t count) = 0;

    // Comparison.
    virtual int32_t CompareRange(IROMImage* other, uint32_t start, uint32_t count) = 0;
    virtual int32_t Compare(IROMImage* other) = 0;

    // Loaded size and parsing.
    virtual void SetLoadedSize(uint32_t size) = 0;
    virtual uint32_t GetLoadedSize() = 0;
    virtual void Parse() = 0;

    // Byte access. Words and double words are little-endian.
    virtual uint8_t GetByte(int32_t offset) = 0;
    virtual void SetByte(int32_t offset, uint8_t value) = 0;
    virtual uint16_t GetWord(int32_t offset) = 0;
    virtual void SetWord(int32_t offset, uint16_t value) = 0;
    virtual uint32_t GetDword(int32_t offset) = 0;
    virtual void SetDword(int32_t offset, uint32_t value) = 0;
    virtual void ReadBytes(int32_t offset, uint8_t* destination, uint32_t count, bool raw) = 0;
    virtual void WriteBytes(int32_t offset, const uint8_t* source, uint32_t count, bool raw) = 0;
    virtual std::string GetStringAt(int32_t offset) = 0;

    // Block editing.
    virtual void CopyBlock(int32_t destination, IROMImage* source, int32_t sourceOffset,
                           uint32_t count) = 0;
    virtual uint32_t InsertBlock(int32_t offset, const uint8_t* source, uint32_t length) = 0;
    virtual void RemoveBlock(int32_t offset, uint32_t length) = 0;
    virtual void ReadBlock(uint8_t* destination, int32_t offset, uint32_t length) = 0;
    virtual void WriteBlock(const uint8_t* source, int32_t offset, uint32_t length) = 0;
    virtual uint8_t* GetBuffer() = 0;

    // Chain editing.
    virtual void AddPCIBlock(const uint8_t* bytes, uint32_t size, bool extendFirstImage) = 0;
    virtual void InsertPCIBlock(int32_t offset, const uint8_t* bytes, uint32_t size,
                                bool joinContainer) = 0;
    virtual void RemovePCIBlock(int32_t block) = 0;
    virtual void ConvertToPrivateChain() = 0;
    virtual int32_t GetOffsetNewPCIBlock() = 0;

    // Selection records.
    virtual void AddSelection(const VFieldSelection& record) = 0;
    virtual VFieldSelection GetSelection(uint32_t index) = 0;
    virtual uint32_t GetSelectionCount() = 0;
    virtual bool IsInSelectionRange(uint32_t index, uint32_t value) = 0;

    // NBSI objects and the Varnex block.
    virtual bool HasVarnexBlock() = 0;
    virtual bool HasVarnexBackupBlock() = 0;
    virtual int32_t FindNBSIBlock() = 0;
    virtual int32_t FindNBSIObject(uint16_t type) = 0;
    virtual uint32_t GetNBSIObjectLength(uint16_t type) = 0;
    virtual bool HasNBSIObject(uint16_t type) = 0;

    // Attached objects (kept without a reference).
    virtual void AttachObject(IImageAttachment* object) = 0;
    virtual void DetachObject(IImageAttachment* object) = 0;
    virtual IImageAttachment* GetAttachedObject1() = 0;
    virtual IImageAttachment* GetAttachedObject2() = 0;
    virtual std::vector<IImageAttachment*> CopyAttachedList() = 0;
    virtual std::vector<IImageAttachment*>& GetAttachedList() = 0;

    // Window, offset mode and the init-from-ROM segment.
    virtual void SetOffsetMode(bool on) = 0;
    virtual bool GetOffsetMode() = 0;
    virtual uint32_t GetWindowOffset() = 0;
    virtual void ReadKPDEFlags() = 0;
    virtual bool GetKPDEFlag1() = 0;
    virtual bool GetKPDEFlag3() = 0;
    virtual bool CheckOffsetModeChain() = 0;
    virtual uint32_t GetIFRSubsystemID() = 0;
    virtual uint32_t GetIFRDataSize() = 0;
    virtual uint32_t GetIFRImageSize() = 0;
    virtual const uint8_t* GetIFRHeader() = 0;
    virtual void ReparseInOffsetMode() = 0;

protected:
    ~IROMImage() = default;
};
