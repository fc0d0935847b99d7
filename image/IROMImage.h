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

#include "image/IVFieldTable.h"

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

class CLog;
struct PreservationEntryPlace;
struct PreservedDataRecord;
struct UserFileContents;

// The size of every image buffer.
inline constexpr uint32_t kImageBufferSize = 0x300000;

// The checks CreateFromFile makes of a file read for an image, for a caller
// that reads an image file with a format of its own (one that carries more
// than the image) and makes the image from its bytes. Throws io_error
// "Cannot open file: <name>" for a file that cannot be opened or is not a
// regular file, "File is larger than the image buffer: <name>" for one past
// its format's size, and "Error reading file into buffer" for an empty file
// or a failed read.
void RequireImageFileRead(const UserFileContents& file, const std::string& fileName);

// Image kinds, as GetImageType returns them and Create takes them.
enum EROMImageType : int32_t
{
    kROMImageBridgeZX22 = 1,
    kROMImageBridgePLX8747 = 2,
    kROMImageGPU = 3,
    kROMImageGPUEFI = 4,
};

// Entries of the five init tables that the 'I' token points to.
struct InitTablePairEntry
{
    uint32_t first = 0;
    uint32_t second = 0;
};
struct InitTableTripleEntry
{
    uint32_t first = 0;
    uint32_t second = 0;
    uint32_t third = 0;
};
struct InitTable5ByteEntry
{
    uint32_t value = 0;
    uint8_t byte = 0;
};
struct InitTable9ByteEntry
{
    uint32_t first = 0;
    uint32_t second = 0;
    uint8_t byte = 0;
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
    // What the image's GetBuffer points at, for reading only. GetBuffer hands
    // out a writable pointer, so the whole 3 MiB buffer then counts as
    // written and every later erase or copy of the image costs that much.
    static const uint8_t* ReadOnlyBuffer(IROMImage* image);

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

    // ---- BIT and its tokens ----------------------------------------------
    // 0 BIT not found (or not searched yet), 1 found; never searches.
    virtual int32_t GetBITState() = 0;
    // Offset of the first token entry with the ID and at least the version and
    // size; writes the entry's version and size back. -1 when there is none.
    virtual int32_t FindBITToken(uint8_t id, uint8_t& minimumVersion, uint16_t& minimumSize) = 0;
    virtual int32_t GetBITTokenDataOffset(int32_t entry) = 0;
    virtual int32_t GetBITTokenData(uint8_t id, uint8_t minimumVersion, uint16_t minimumSize) = 0;

    // Fields of the information token 'i' and the BIOS-data token 'B'; each
    // answers its fallback value when the BIT, the token or its bytes are
    // missing.
    virtual bool GetInfoFlag5() = 0;
    virtual int32_t GetInfoPointer7Offset() = 0;
    virtual uint32_t GetInfoPointer7Value() = 0;
    virtual uint16_t GetBoardID() = 0;
    virtual int32_t GetBuildDateOffset() = 0;
    virtual std::string GetBuildDate() = 0;
    virtual int32_t GetPreservationTableOffset() = 0;
    virtual uint8_t GetInfoByte35() = 0;
    virtual uint8_t GetHierarchyID() = 0;
    virtual std::string GetHierarchyIDName() = 0;
    virtual std::string GetChipSKU() = 0;
    virtual std::string GetChipSKURevision() = 0;
    virtual std::string GetProject() = 0;
    virtual std::string GetProjectSKU() = 0;
    virtual std::string GetCDP() = 0;
    virtual std::string GetProjectRevision() = 0;
    virtual uint8_t GetInfoByte66() = 0;
    virtual uint16_t GetAlternateBoardID() = 0;
    virtual std::string GetBuildGUID() = 0;
    virtual uint32_t GetInfoDword88() = 0;
    virtual bool GetBIOSDataFlag32() = 0;
    virtual bool IsCoprocBuild() = 0;
    virtual bool GetHeaderFlag48() = 0;

    // Init tables and devinit scripts.
    virtual uint16_t GetInitTableWordEntry(uint8_t index) = 0;
    virtual InitTablePairEntry GetInitTablePairEntry(uint8_t index) = 0;
    virtual InitTableTripleEntry GetInitTableTripleEntry(uint8_t index) = 0;
    virtual InitTable5ByteEntry GetInitTable5ByteEntry(uint8_t index) = 0;
    virtual InitTable9ByteEntry GetInitTable9ByteEntry(uint8_t index) = 0;
    virtual uint16_t GetInitTableV1WordEntry(uint8_t index) = 0;
    virtual int32_t GetInitTableOffset14() = 0;
    virtual uint8_t GetDevinitSignatureType() = 0;
    virtual void GetDevinitOffsets(int32_t& scriptTable, int32_t& tables) = 0;

    // The image's own VField tables behind token 'V'.
    virtual VFieldRegisterRecord GetVFieldRegister(uint8_t index) = 0;
    virtual VFieldRecord GetVField(uint8_t id) = 0;

    // TMDS and LVDS info entries.
    virtual bool LoadTMDSTable(CLog* log) = 0;
    virtual bool LoadLVDSTable(CLog* log) = 0;
    virtual uint32_t GetTMDSEntryCount() = 0;
    virtual uint32_t GetLVDSEntryCount() = 0;
    virtual uint32_t GetTMDSLinkCount() = 0;
    virtual uint32_t GetLVDSLinkCount() = 0;
    virtual std::string GetTMDSLinkName(uint32_t link) = 0;
    virtual std::string GetLVDSLinkName(uint32_t link) = 0;
    virtual uint8_t GetTMDSLinkIndex(uint32_t link) = 0;
    virtual uint8_t GetLVDSLinkIndex(uint32_t link) = 0;
    virtual int32_t GetTMDSEntryValue(uint32_t entry, uint32_t link) = 0;
    virtual int32_t GetLVDSEntryValue(uint32_t entry, uint32_t link) = 0;

    // Range records {start, end} and offsets beyond the first x86 block.
    virtual uint16_t ReadRangeStart(int32_t offset) = 0;
    virtual uint16_t ReadRangeEnd(int32_t offset) = 0;
    virtual bool NextRange(int32_t& cursor) = 0;
    virtual int32_t MapExtendedOffset(int32_t offset) = 0;

    // ---- preservation table ----------------------------------------------
    virtual int32_t GetPreservationEntryOffset(uint32_t index) = 0;
    virtual uint32_t GetPreservationEntryCount() = 0;
    virtual int32_t GetPreservationFlagsOffset() = 0;
    virtual uint8_t GetPreservationEntryFlags(uint32_t index) = 0;
    // Every entry's place and flags from one lookup of the table, for walks
    // over all entries: the single readers look the table up on each call.
    virtual std::vector<PreservationEntryPlace> GetPreservationEntries() = 0;
    virtual void SetPreservationEntryFlags(uint32_t index, uint8_t value) = 0;
    virtual uint8_t GetPreservationControlByte() = 0;
    virtual int32_t GetPreservationHeaderWord4() = 0;
    virtual int32_t GetPreservationHeaderByte6() = 0;
    virtual int32_t GetPreservationHeaderBlockOffset() = 0;
    // Status 0 found, 5 no such data block, 6 no preservation table.
    virtual uint32_t FindPreservedData(IROMImage* image, PreservedDataRecord& record) = 0;
    // Status 0 found, 2 no preserved value for the register.
    virtual uint32_t GetPreservedRegisterValue(IROMImage* image, uint8_t ramStrap,
                                               uint32_t registerAddress, uint32_t& value) = 0;
    // Status 0 changed, 2 register not found, 3 its entry has no flags.
    // Operation 3 adds under the mask, 4 subtracts, any other sets.
    virtual uint32_t TunePreservedRegisterValue(IROMImage* image, uint8_t ramStrap,
                                                uint32_t registerAddress, uint32_t value,
                                                uint32_t mask, uint32_t operation) = 0;

    // ---- identification, board data and straps ---------------------------
    virtual uint16_t GetVendorID() = 0;
    virtual uint16_t GetDeviceID() = 0;
    virtual uint16_t GetDeviceIDListEntry(uint32_t index) = 0;
    virtual uint16_t GetSubsystemVendorID() = 0;
    virtual uint16_t GetSubsystemDeviceID() = 0;
    virtual std::string GetVersionString(int32_t variant) = 0;
    virtual uint32_t GetVersionNumber() = 0;
    virtual uint8_t GetVersionByte(uint32_t index) = 0;
    virtual uint16_t GetGPUDeviceID() = 0;
    virtual uint16_t GetInfoWord38() = 0;
    virtual bool GetInfoFlag37() = 0;
    virtual bool GetInfoFlag5Bit4() = 0;
    virtual bool GetInfoFlag68Bit1() = 0;
    virtual bool GetInfoFlag68Bit0() = 0;
    virtual bool GetUEFITokenFlag() = 0;
    virtual bool GetHeaderFlag49() = 0;
    virtual bool NeedsWriteProtectRemoval() = 0;
    virtual std::string GetModificationDate() = 0;
    virtual bool HasHardwareDataArea() = 0;
    virtual void SetStraps(uint32_t word0, uint32_t word1, uint32_t word2, uint32_t word3,
                           uint32_t word4, uint32_t word5) = 0;
    virtual void SetGUIDSource(uint32_t source) = 0;
    virtual bool HasIEEE1394GUID() = 0;
    virtual int32_t GetIEEE1394GUIDOffset() = 0;
    virtual uint8_t GetIEEE1394GUIDSize() = 0;
    virtual void SetIEEE1394GUID(uint32_t high, uint32_t low) = 0;
    virtual std::string GetSignOnMessage() = 0;
    virtual std::string GetOEMString() = 0;
    virtual std::string GetVendorName() = 0;
    virtual std::string GetProductName() = 0;
    virtual std::string GetProductRevision() = 0;
    virtual int32_t FindPMID() = 0;
    virtual int32_t ReadI2CDeviceList(std::vector<uint32_t>& entries) = 0;
    virtual int32_t CheckInitScripts(uint32_t script) = 0;
    // (offset, size in bytes) of the display configuration block.
    virtual std::pair<int32_t, uint32_t> UpdateDisplayConfig() = 0;
    virtual std::array<uint8_t, 16> GetPLLInfo(uint8_t pllId) = 0;
    virtual std::string GetVarnexVersion() = 0;

    // ---- UEFI driver of a GPU image ---------------------------------------
    // "Yes", "Placeholder", "No (hidden)" or "No".
    virtual std::string GetUEFISupport() = 0;
    virtual std::string GetUEFIVersion() = 0;
    virtual std::string GetUEFIVariantID() = 0;
    virtual std::string GetUEFIFeatureString() = 0;
    virtual std::vector<std::string> GetUEFISigners() = 0;
    // "Yes" or the reason the image's UEFI driver may not be replaced.
    virtual std::string CanUpdateUEFI() = 0;
    // "Yes" or the reason the supplied image cannot be merged into this one.
    virtual std::string CheckUEFIImage(const uint8_t* bytes, uint32_t length) = 0;
    // Merges the supplied image's EFI block into this image; true on
    // success, every failure raises std::runtime_error and leaves this image
    // as it was. Progress lines go to the log (may be null) at level 3.
    virtual bool UpdateUEFIImage(const uint8_t* bytes, uint32_t length, CLog* log) = 0;

    // ---- run-time ROM pack fields and the microcode entry ----------------
    virtual void SetRuntimePackWord(uint16_t word) = 0;
    virtual uint16_t GetRuntimePackWord() = 0;
    virtual uint8_t GetRuntimePackAppliedCount() = 0;
    virtual uint8_t GetRuntimePackRecordCapacity() = 0;
    virtual int32_t GetRuntimePackRecord(uint32_t index) = 0;
    virtual int32_t FindKestrixUcodeEntry(uint8_t id) = 0;

    // ---- init-from-ROM segment -------------------------------------------
    virtual bool StripIFR() = 0;
    virtual bool CreateBexorIFR(uint32_t variant) = 0;
    virtual bool UpdateBexorIFR(bool replaceCommands) = 0;

    // ---- certificate block of a signed image -----------------------------
    // The certification package inside the certificate block (code type
    // 0x70), -1 without one.
    virtual int32_t FindBCRTBlock() = 0;
    // The first package entry of the type, -1 when none; the walks raise a
    // runtime error when they read a 51st entry.
    virtual int32_t GetX509CertificateList(uint32_t type) = 0;
    virtual int32_t FindNextX509Certificate(int32_t entry, uint32_t type) = 0;
    // The signature record after the last package entry, -1 without one.
    virtual int32_t FindBCRTHATBase() = 0;
    // The signature block after the record's ranges, -1 without one.
    virtual int32_t GetCertificateTableOffset() = 0;
    // The certificate-information block and its end, -1 when not flagged.
    virtual int32_t GetCertInfoBlockOffset() = 0;
    virtual int32_t GetCertInfoBlockEnd() = 0;
    // Writes the bytes over the certificate-information block (the one the
    // microcode's verification returns) and fixes the certificate block's
    // checksum; true once written, false for kinds without a certificate
    // block; std::domain_error when a GPU image has no such block or the
    // bytes would run past the certificate block.
    virtual bool WriteCertInfoBlock(const uint8_t* bytes, uint32_t count) = 0;
    // The stored body hash: 32 hexadecimal digits, or 128 bits as "0" and "1".
    virtual std::string GetImageHashText(bool hex) = 0;
    virtual bool HasBCRT() = 0;

protected:
    ~IROMImage() = default;
};

// The number of image bytes visible at window-relative offsets.
inline uint32_t ImageViewSize(IROMImage& image)
{
    const uint32_t loaded = image.GetLoadedSize();
    const uint32_t window = image.GetWindowOffset();
    return window <= loaded ? loaded - window : 0;
}
