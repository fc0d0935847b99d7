#pragma once
// The part every image kind shares: the buffer, the loaded size, names,
// selection records, attached objects, byte access with its bounds, sums, CRC,
// comparison, search, block editing, and file and stream I/O. The chain
// operations that only a kind can answer stay abstract here; the rest answer
// with the neutral value an image without a chain gives.

#include "core/RefCount.h"
#include "image/IROMImage.h"

#include <memory>
#include <string>
#include <vector>

class CROMImageBaseImpl : public CReferenceCountImpl, public IROMImage
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CROMImageBaseImpl(int32_t type);
    // Copies the bytes into the buffer and parses; the length must fit.
    CROMImageBaseImpl(int32_t type, const uint8_t* bytes, uint32_t length);
    ~CROMImageBaseImpl() override = default;

    int32_t GetImageType() override { return m_type; }
    void SetFileName(const std::string& name) override { m_fileName = name; }
    const char* GetFileNameCStr() override { return m_fileName.c_str(); }
    void SetBoardName(const std::string& name) override { m_boardName = name; }
    const std::string& GetBoardName() override { return m_boardName; }

    int32_t FindKPDE(int32_t) override { return -1; }
    int32_t GetKPDESubsystemVendorIDOffset() override { return -1; }
    int32_t GetKPDESubsystemDeviceIDOffset() override { return -1; }
    uint32_t GetKPDELength(int32_t) override { return 0; }
    uint32_t GetKPDEImageLength(int32_t) override { return 0; }
    int32_t FindPCIBlockByCodeType(uint8_t, int32_t) override { return -1; }
    int32_t FindNthPCIBlock(uint8_t, uint32_t) override { return -1; }
    bool IsBlank() override;
    uint8_t GetBlankByte(int32_t, int32_t) override { return 0xFF; }
    bool IsOffsetSet(int32_t offset) override { return offset != -1 && offset != 0; }

    void SetPCIBlockLength(int32_t, uint32_t) override {}
    void UpdateROMSizeFlagged(uint32_t) override {}
    int32_t NextPCIBlock(int32_t) override { return -1; }
    bool GetPCIRIndicator(uint8_t&, int32_t) override { return false; }
    bool GetKPDEIndicator(uint8_t&, int32_t) override { return false; }
    bool SetPCIRLastImage(int32_t, uint8_t) override { return false; }
    bool SetKPDELastImage(int32_t, uint8_t) override { return false; }
    bool ClearPCIRLastImage(int32_t, uint8_t) override { return false; }
    bool ClearKPDELastImage(int32_t, uint8_t) override { return false; }
    bool ReadPCIBlockPayload(std::vector<uint8_t>&, uint8_t) override { return false; }
    int32_t GetPCIBlockEnd(int32_t) override { return -1; }

    uint8_t Sum8(uint32_t start, uint32_t end) override;
    uint8_t GetChecksumByte(uint32_t start, uint32_t end) override;
    uint32_t GetCRC32(uint32_t count) override;

    uint32_t LoadFromFile(const std::string& fileName) override;
    uint32_t SaveToFile(const std::string& fileName, uint32_t start, uint32_t count) override;
    uint32_t ReadFromStream(std::istream& input, uint32_t offset, uint32_t count) override;
    uint32_t WriteToStream(std::ostream& output, uint32_t offset, uint32_t count) override;

    int32_t CompareRange(IROMImage* other, uint32_t start, uint32_t count) override;
    int32_t Compare(IROMImage* other) override;

    void SetLoadedSize(uint32_t size) override;
    uint32_t GetLoadedSize() override { return m_loadedSize; }
    void Parse() override;

    uint8_t GetByte(int32_t offset) override;
    void SetByte(int32_t offset, uint8_t value) override;
    uint16_t GetWord(int32_t offset) override;
    void SetWord(int32_t offset, uint16_t value) override;
    uint32_t GetDword(int32_t offset) override;
    void SetDword(int32_t offset, uint32_t value) override;
    void ReadBytes(int32_t offset, uint8_t* destination, uint32_t count, bool raw) override;
    void WriteBytes(int32_t offset, const uint8_t* source, uint32_t count, bool raw) override;
    std::string GetStringAt(int32_t offset) override;

    void CopyBlock(int32_t destination, IROMImage* source, int32_t sourceOffset,
                   uint32_t count) override;
    uint32_t InsertBlock(int32_t offset, const uint8_t* source, uint32_t length) override;
    void RemoveBlock(int32_t offset, uint32_t length) override;
    void ReadBlock(uint8_t* destination, int32_t offset, uint32_t length) override;
    void WriteBlock(const uint8_t* source, int32_t offset, uint32_t length) override;
    uint8_t* GetBuffer() override { return m_buffer.get(); }

    void AddPCIBlock(const uint8_t*, uint32_t, bool) override {}
    void ConvertToPrivateChain() override {}
    int32_t GetOffsetNewPCIBlock() override { return -1; }

    void AddSelection(const VFieldSelection& record) override;
    VFieldSelection GetSelection(uint32_t index) override;
    uint32_t GetSelectionCount() override;
    bool IsInSelectionRange(uint32_t index, uint32_t value) override;

    bool HasVarnexBlock() override { return false; }
    bool HasVarnexBackupBlock() override { return false; }
    int32_t FindNBSIBlock() override { return -1; }
    int32_t FindNBSIObject(uint16_t) override { return -1; }
    uint32_t GetNBSIObjectLength(uint16_t) override { return 0; }
    bool HasNBSIObject(uint16_t) override { return false; }

    void AttachObject(IImageAttachment* object) override;
    void DetachObject(IImageAttachment* object) override;
    IImageAttachment* GetAttachedObject1() override { return m_attached1; }
    IImageAttachment* GetAttachedObject2() override { return m_attached2; }
    std::vector<IImageAttachment*> CopyAttachedList() override { return m_attachedList; }
    std::vector<IImageAttachment*>& GetAttachedList() override { return m_attachedList; }

    void SetOffsetMode(bool) override {}
    bool GetOffsetMode() override { return false; }
    uint32_t GetWindowOffset() override { return 0; }
    void ReadKPDEFlags() override {}
    bool GetKPDEFlag1() override { return false; }
    bool GetKPDEFlag3() override { return false; }
    bool CheckOffsetModeChain() override { return false; }
    uint32_t GetIFRSubsystemID() override { return 0; }
    uint32_t GetIFRDataSize() override { return 0; }
    uint32_t GetIFRImageSize() override { return 0; }
    const uint8_t* GetIFRHeader() override { return nullptr; }
    void ReparseInOffsetMode() override {}

protected:
    // Byte at an image offset (translated unless raw); "Invalid offset" when
    // the buffer offset reaches the buffer end.
    virtual uint8_t ReadRawByte(int32_t offset, bool raw);
    virtual uint8_t* GetRawBytePointer(int32_t offset, bool raw);
    // Buffer offset of an image offset, in 64 bits so -1 plus a window cannot
    // wrap into the buffer.
    virtual uint64_t TranslateOffset(int32_t offset);
    virtual void ResetBITCache();
    // Offset of the first occurrence of the pattern in the loaded bytes, -1.
    virtual int32_t FindBytes(const uint8_t* pattern, uint32_t length);
    // True when [offset, offset + length) of the image lies in loaded bytes.
    virtual bool IsRangeLoaded(int32_t offset, uint32_t length) = 0;

    int32_t GetBITOffset() const { return m_bitOffset; }
    bool IsBITState() const { return m_bitState != 0; }

    // Direct access to the buffer for the kinds' own bounded copies.
    uint8_t* BufferStart() { return m_buffer.get(); }
    // Fills the buffer with 0xFF and sets the loaded size to 0.
    void EraseBuffer();

private:
    // Bytes [start, start + count) of the buffer must lie within it.
    static void RequireBufferRange(uint64_t start, uint64_t count, const char* what);

    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_loadedSize = 0;
    int32_t m_type;
    std::string m_fileName;
    std::string m_boardName;
    int32_t m_bitOffset = -1;
    int32_t m_bitState = 0;
    std::vector<VFieldSelection> m_selections;
    std::vector<IImageAttachment*> m_attachedList;
    IImageAttachment* m_attached1 = nullptr;
    IImageAttachment* m_attached2 = nullptr;
};
