#pragma once
// The part every image kind shares: the buffer, the loaded size, names,
// selection records, attached objects, byte access with its bounds, sums, CRC,
// comparison, search, block editing, and file and stream I/O. The chain
// operations that only a kind can answer stay abstract here; the rest answer
// with the neutral value an image without a chain gives.

#include "core/RefCount.h"
#include "core/UserFile.h"
#include "image/IROMImage.h"
#include "image/ImageBuffer.h"

#include <memory>
#include <string>
#include <vector>

// A firmware image file's bytes, at most the image buffer's size and not
// empty. Throws io_error "Cannot open file: <name>" for a file that cannot be
// opened or is not a regular file, "File is larger than the image buffer:
// <name>" for one that does not fit (it would be cut without notice), and
// "Error reading file into buffer" for an empty file or a failed read.
UserFileContents ReadImageFile(const std::string& fileName);

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
    // Handed out to code that may write anywhere: the whole buffer counts as written.
    uint8_t* GetBuffer() override { return m_buffer.WriteAll(); }
    // What GetBuffer points at, for reading only.
    const uint8_t* BufferView() { return m_buffer.Bytes() + GetWindowOffset(); }

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

    // BIT and its tokens.
    int32_t GetBITState() override { return m_bitState; }
    int32_t FindBITToken(uint8_t id, uint8_t& minimumVersion, uint16_t& minimumSize) override;
    int32_t GetBITTokenDataOffset(int32_t entry) override;
    int32_t GetBITTokenData(uint8_t id, uint8_t minimumVersion, uint16_t minimumSize) override;
    bool GetInfoFlag5() override;
    int32_t GetInfoPointer7Offset() override;
    uint32_t GetInfoPointer7Value() override;
    uint16_t GetBoardID() override;
    int32_t GetBuildDateOffset() override;
    std::string GetBuildDate() override;
    int32_t GetPreservationTableOffset() override;
    uint8_t GetInfoByte35() override;
    uint8_t GetHierarchyID() override;
    std::string GetHierarchyIDName() override;
    std::string GetChipSKU() override;
    std::string GetChipSKURevision() override;
    std::string GetProject() override;
    std::string GetProjectSKU() override;
    std::string GetCDP() override;
    std::string GetProjectRevision() override;
    uint8_t GetInfoByte66() override;
    uint16_t GetAlternateBoardID() override;
    std::string GetBuildGUID() override;
    uint32_t GetInfoDword88() override;
    bool GetBIOSDataFlag32() override;
    bool IsCoprocBuild() override;
    bool GetHeaderFlag48() override;

    uint16_t GetInitTableWordEntry(uint8_t index) override;
    InitTablePairEntry GetInitTablePairEntry(uint8_t index) override;
    InitTableTripleEntry GetInitTableTripleEntry(uint8_t index) override;
    InitTable5ByteEntry GetInitTable5ByteEntry(uint8_t index) override;
    InitTable9ByteEntry GetInitTable9ByteEntry(uint8_t index) override;
    uint16_t GetInitTableV1WordEntry(uint8_t index) override;
    int32_t GetInitTableOffset14() override;
    uint8_t GetDevinitSignatureType() override;
    void GetDevinitOffsets(int32_t& scriptTable, int32_t& tables) override;
    VFieldRegisterRecord GetVFieldRegister(uint8_t index) override;
    VFieldRecord GetVField(uint8_t id) override;

    bool LoadTMDSTable(CLog* log) override;
    bool LoadLVDSTable(CLog* log) override;
    uint32_t GetTMDSEntryCount() override { return static_cast<uint32_t>(m_tmdsEntries.size()); }
    uint32_t GetLVDSEntryCount() override { return static_cast<uint32_t>(m_lvdsEntries.size()); }
    uint32_t GetTMDSLinkCount() override { return 4; }
    uint32_t GetLVDSLinkCount() override { return 8; }
    std::string GetTMDSLinkName(uint32_t link) override;
    std::string GetLVDSLinkName(uint32_t link) override;
    uint8_t GetTMDSLinkIndex(uint32_t link) override;
    uint8_t GetLVDSLinkIndex(uint32_t link) override;
    int32_t GetTMDSEntryValue(uint32_t entry, uint32_t link) override;
    int32_t GetLVDSEntryValue(uint32_t entry, uint32_t link) override;

    uint16_t ReadRangeStart(int32_t offset) override;
    uint16_t ReadRangeEnd(int32_t offset) override;
    bool NextRange(int32_t& cursor) override;
    int32_t MapExtendedOffset(int32_t offset) override;

    // Preservation table.
    int32_t GetPreservationEntryOffset(uint32_t index) override;
    uint32_t GetPreservationEntryCount() override;
    int32_t GetPreservationFlagsOffset() override;
    uint8_t GetPreservationEntryFlags(uint32_t index) override;
    std::vector<PreservationEntryPlace> GetPreservationEntries() override;
    void SetPreservationEntryFlags(uint32_t index, uint8_t value) override;
    uint8_t GetPreservationControlByte() override;
    int32_t GetPreservationHeaderWord4() override { return -1; }
    int32_t GetPreservationHeaderByte6() override { return -1; }
    int32_t GetPreservationHeaderBlockOffset() override { return -1; }
    uint32_t FindPreservedData(IROMImage*, PreservedDataRecord&) override { return 6; }
    uint32_t GetPreservedRegisterValue(IROMImage*, uint8_t, uint32_t, uint32_t&) override
    {
        return 2;
    }
    uint32_t TunePreservedRegisterValue(IROMImage*, uint8_t, uint32_t, uint32_t, uint32_t,
                                        uint32_t) override
    {
        return 2;
    }

    // Identification answers of an image kind without a GPU chain.
    uint16_t GetVendorID() override { return 0; }
    uint16_t GetDeviceID() override { return 0; }
    uint16_t GetDeviceIDListEntry(uint32_t) override { return 0; }
    uint16_t GetSubsystemVendorID() override { return 0; }
    uint16_t GetSubsystemDeviceID() override { return 0; }
    std::string GetVersionString(int32_t) override { return "Unavailable (Invalid)"; }
    uint32_t GetVersionNumber() override { return 0; }
    uint8_t GetVersionByte(uint32_t) override { return 0; }
    uint16_t GetGPUDeviceID() override { return 0; }
    uint16_t GetInfoWord38() override { return 0; }
    bool GetInfoFlag37() override { return false; }
    bool GetInfoFlag5Bit4() override { return false; }
    bool GetInfoFlag68Bit1() override { return false; }
    bool GetInfoFlag68Bit0() override { return false; }
    bool GetUEFITokenFlag() override { return false; }

    // UEFI driver: kinds without a GPU chain give the fixed answers.
    std::string GetUEFISupport() override { return "No"; }
    std::string GetUEFIVersion() override { return "Not Supported"; }
    std::string GetUEFIVariantID() override { return "Not Supported"; }
    std::string GetUEFIFeatureString() override { return "Not Supported"; }
    std::vector<std::string> GetUEFISigners() override { return {"Unsigned"}; }
    std::string CanUpdateUEFI() override { return "Not supported."; }
    std::string CheckUEFIImage(const uint8_t*, uint32_t) override { return "Not supported."; }
    bool UpdateUEFIImage(const uint8_t*, uint32_t, CLog*) override { return false; }
    bool GetHeaderFlag49() override { return true; }
    bool NeedsWriteProtectRemoval() override { return false; }
    std::string GetModificationDate() override { return ""; }
    bool HasHardwareDataArea() override { return false; }
    void SetStraps(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override;
    void SetGUIDSource(uint32_t) override;
    bool HasIEEE1394GUID() override { return false; }
    int32_t GetIEEE1394GUIDOffset() override;
    uint8_t GetIEEE1394GUIDSize() override;
    void SetIEEE1394GUID(uint32_t, uint32_t) override;
    std::string GetSignOnMessage() override { return ""; }
    std::string GetOEMString() override { return ""; }
    std::string GetVendorName() override { return ""; }
    std::string GetProductName() override { return ""; }
    std::string GetProductRevision() override { return ""; }
    int32_t FindPMID() override { return -1; }
    int32_t ReadI2CDeviceList(std::vector<uint32_t>&) override { return -1; }
    int32_t CheckInitScripts(uint32_t) override;
    std::pair<int32_t, uint32_t> UpdateDisplayConfig() override;
    std::array<uint8_t, 16> GetPLLInfo(uint8_t) override { return {}; }
    std::string GetVarnexVersion() override { return "Not Supported"; }

    void SetRuntimePackWord(uint16_t) override;
    uint16_t GetRuntimePackWord() override { return 0; }
    uint8_t GetRuntimePackAppliedCount() override { return 0; }
    uint8_t GetRuntimePackRecordCapacity() override { return 0; }
    int32_t GetRuntimePackRecord(uint32_t) override { return -1; }
    int32_t FindKestrixUcodeEntry(uint8_t) override { return -1; }

    // Only a GPU image has an init-from-ROM segment to edit.
    bool StripIFR() override { return false; }
    bool CreateBexorIFR(uint32_t) override { return false; }
    bool UpdateBexorIFR(bool) override { return false; }

    // Certificate block: only a GPU image carries one.
    int32_t FindBCRTBlock() override { return -1; }
    int32_t GetX509CertificateList(uint32_t) override { return -1; }
    int32_t FindNextX509Certificate(int32_t, uint32_t) override { return -1; }
    int32_t FindBCRTHATBase() override { return -1; }
    int32_t GetCertificateTableOffset() override { return -1; }
    int32_t GetCertInfoBlockOffset() override { return -1; }
    int32_t GetCertInfoBlockEnd() override { return -1; }
    bool WriteCertInfoBlock(const uint8_t*, uint32_t) override { return false; }
    std::string GetImageHashText(bool) override { return "Not Supported"; }
    bool HasBCRT() override { return false; }

protected:
    // Byte at an image offset (translated unless raw); "Invalid offset" when
    // the buffer offset reaches the buffer end.
    virtual uint8_t ReadRawByte(int32_t offset, bool raw);
    virtual const uint8_t* GetRawBytePointer(int32_t offset, bool raw);
    // Buffer offset of an image offset, in 64 bits so -1 plus a window cannot
    // wrap into the buffer.
    virtual uint64_t TranslateOffset(int32_t offset);
    virtual void ResetBITCache();
    // Offset of the first occurrence of the pattern in the loaded bytes, -1.
    virtual int32_t FindBytes(const uint8_t* pattern, uint32_t length);
    // True when [offset, offset + length) of the image lies in loaded bytes.
    virtual bool IsRangeLoaded(int32_t offset, uint32_t length) = 0;

    // The BIT offset, searching first when none is cached; -1 without a BIT.
    int32_t GetBITOffset();
    // Searches when the state is 0, then compares.
    bool IsBITState(int32_t state);
    uint16_t GetBITVersion(int32_t bitOffset) { return GetWord(bitOffset + 6); }
    // The BIT offset when the cached state is 1 and the 12-byte header is
    // loaded (searching first when parse is set), else -1.
    int32_t LoadedBITHeader(bool parse);
    // Data offset of a token whose bytes [data, data + loaded) are loaded,
    // -1 otherwise; the BIT header must be loaded, and of version 0x0100
    // when exactVersion.
    int32_t TokenDataLoaded(uint8_t id, uint8_t version, uint16_t size, uint32_t loaded,
                            bool exactVersion, bool parse = true);
    // Data of a token for the readers that take table pointers from it:
    // errors instead of reading a pointer taken from outside the image.
    int32_t RequireTokenData(uint8_t id, uint8_t version, uint16_t size, uint32_t loaded);
    // The offset of a table from a 16-bit pointer, which must name loaded
    // bytes of at least the given length.
    int32_t RequireTable(int32_t pointer, uint32_t length, const char* what);
    // The token search; onlyVersion100 false accepts any BIT version from
    // 0x0100 up.
    int32_t WalkBITTokens(uint8_t id, uint8_t& minimumVersion, uint16_t& minimumSize,
                          bool onlyVersion100);
    // Up to width characters of the field, ending at a zero byte.
    std::string FieldText(int32_t offset, uint32_t width);

    // Direct access to the buffer for the kinds' own bounded reads, and to
    // the buffer object for their snapshots.
    const uint8_t* BufferStart() const { return m_buffer.Bytes(); }
    CImageBuffer& Buffer() { return m_buffer; }
    // Fills the buffer with 0xFF and sets the loaded size to 0.
    void EraseBuffer();

private:
    // The entry flags at a place, kNoFlags for none (-1) or one past the
    // loaded bytes.
    uint8_t PreservationFlagsAt(int32_t place);
    // Bytes [start, start + count) of the buffer must lie within it.
    static void RequireBufferRange(uint64_t start, uint64_t count, const char* what);

    CImageBuffer m_buffer;
    uint32_t m_loadedSize = 0;
    int32_t m_type;
    std::string m_fileName;
    std::string m_boardName;
    bool LoadEntryList(uint8_t token, std::vector<int32_t>& list, const char* what, CLog* log);

    // The BIT as found: its buffer offset (the image offset depends on the
    // window the caller sees) and the state.
    int64_t m_bitBufferOffset = -1;
    int32_t m_bitState = 0;
    // A search that found nothing is not repeated until the bytes change.
    bool m_bitSearched = false;
    std::vector<int32_t> m_tmdsEntries;
    std::vector<int32_t> m_lvdsEntries;
    std::vector<VFieldSelection> m_selections;
    std::vector<IImageAttachment*> m_attachedList;
    IImageAttachment* m_attached1 = nullptr;
    IImageAttachment* m_attached2 = nullptr;
};
