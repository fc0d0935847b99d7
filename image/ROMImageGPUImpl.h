#pragma once
// GPU firmware: an optional init-from-ROM segment followed by the PCI
// expansion-ROM block chain. The image keeps a window whose start is the end
// of the init-from-ROM segment; in offset mode (the normal state) image
// offsets are taken from the window start, so offset 0 is the first block.

#include "image/PreservationTable.h"
#include "image/ROMImageBaseImpl.h"
#include "varnex/VarnexImage.h"

#include <optional>

// The data that an image without an init-from-ROM segment keeps in its first
// block's hardware data area.
struct AvrelRomData
{
    uint32_t strap0 = 0;
    uint32_t strap1 = 0;
    uint32_t strap2 = 0;
    uint32_t strap3 = 0;
    uint32_t commandListOffset = 0;
    uint32_t strap4 = 0;
    uint32_t strap5 = 0;
    uint32_t subsystemIds = 0;
    uint8_t marker = 0;
};

// One block's header fields, as the chain-editing operations read and write
// them.
struct PCIBlockInfo
{
    int32_t blockOffset = -1; // -1 without a PCIR structure or with length 0
    bool isPrivate = false;   // false only for mark 0xAA55 with "PCIR"
    uint32_t initLength = 0;  // bytes, from header offset 2
    int32_t pcirOffset = -1;
    uint32_t pcirLength = 0; // bytes
    uint8_t pcirIndicator = 0;
    uint8_t codeType = 0;
    int32_t kpdeOffset = -1;
    uint32_t length = 0;   // effective length in bytes
    uint8_t indicator = 0; // effective indicator
    uint8_t kpdeFlags = 0;
};

class CROMImageGPUImpl : public CROMImageBaseImpl
{
public:
    // The UEFI driver kind passes its own type number.
    explicit CROMImageGPUImpl(int32_t type = kROMImageGPU);
    CROMImageGPUImpl(const uint8_t* bytes, uint32_t length, int32_t type = kROMImageGPU);

    // Chain structure and validity.
    bool HasValidSignature() override;
    bool IsPCIROM() override;
    bool IsErased() override;
    std::string DumpPCIBlocks(int32_t detail) override;
    int32_t FindPCIR(int32_t block) override;
    uint32_t GetPCIBlockLength(int32_t block) override;
    int32_t FindKPDE(int32_t block) override;
    int32_t GetKPDESubsystemVendorIDOffset() override;
    int32_t GetKPDESubsystemDeviceIDOffset() override;
    uint32_t GetKPDELength(int32_t kpde) override;
    uint32_t GetKPDEImageLength(int32_t block) override;
    int32_t FindPCIBlockByCodeType(uint8_t codeType, int32_t start) override;
    int32_t FindNthPCIBlock(uint8_t codeType, uint32_t n) override;
    bool HasPCIR() override;
    bool IsValid() override;

    uint32_t GetROMSize() override;
    void SetPCIBlockLength(int32_t block, uint32_t length) override;
    void UpdateROMSize(uint32_t size) override;
    void UpdateROMSizeFlagged(uint32_t size) override;
    int32_t NextPCIBlock(int32_t block) override;
    bool GetPCIRIndicator(uint8_t& indicator, int32_t block) override;
    bool GetKPDEIndicator(uint8_t& indicator, int32_t block) override;
    bool SetPCIRLastImage(int32_t block, uint8_t extraBits) override;
    bool SetKPDELastImage(int32_t block, uint8_t extraBits) override;
    bool ClearPCIRLastImage(int32_t block, uint8_t extraBits) override;
    bool ClearKPDELastImage(int32_t block, uint8_t extraBits) override;
    std::string GetTypeName() override;
    bool ReadPCIBlockPayload(std::vector<uint8_t>& payload, uint8_t codeType) override;
    int32_t GetPCIBlockEnd(int32_t block) override;

    void FixChecksum() override;
    void FixPCIBlockChecksum(int32_t block) override;

    void Parse() override;
    void ReadBlock(uint8_t* destination, int32_t offset, uint32_t length) override;
    void WriteBlock(const uint8_t* source, int32_t offset, uint32_t length) override;
    uint8_t* GetBuffer() override;

    // Chain editing.
    void AddPCIBlock(const uint8_t* bytes, uint32_t size, bool extendFirstImage) override;
    void InsertPCIBlock(int32_t offset, const uint8_t* bytes, uint32_t size,
                        bool joinContainer) override;
    void RemovePCIBlock(int32_t block) override;
    void ConvertToPrivateChain() override;
    int32_t GetOffsetNewPCIBlock() override;

    // NBSI objects.
    bool HasVarnexBlock() override;
    bool HasVarnexBackupBlock() override;
    int32_t FindNBSIBlock() override;
    int32_t FindNBSIObject(uint16_t type) override;
    uint32_t GetNBSIObjectLength(uint16_t type) override;
    bool HasNBSIObject(uint16_t type) override;

    // Window, offset mode and the init-from-ROM segment.
    void SetOffsetMode(bool on) override { m_offsetMode = on; }
    bool GetOffsetMode() override { return m_offsetMode; }
    uint32_t GetWindowOffset() override { return m_offsetMode ? m_windowOffset : 0; }
    void ReadKPDEFlags() override;
    bool GetKPDEFlag1() override { return m_kpdeFlag1; }
    bool GetKPDEFlag3() override { return m_kpdeFlag3; }
    bool CheckOffsetModeChain() override;
    uint32_t GetIFRSubsystemID() override;
    uint32_t GetIFRDataSize() override;
    uint32_t GetIFRImageSize() override;
    const uint8_t* GetIFRHeader() override;
    void ReparseInOffsetMode() override;

    // Identification, board data and straps.
    uint16_t GetVendorID() override;
    uint16_t GetDeviceID() override;
    uint16_t GetDeviceIDListEntry(uint32_t index) override;
    uint16_t GetSubsystemVendorID() override;
    uint16_t GetSubsystemDeviceID() override;
    std::string GetVersionString(int32_t variant) override;
    uint32_t GetVersionNumber() override;
    uint8_t GetVersionByte(uint32_t index) override;
    uint16_t GetGPUDeviceID() override;
    uint16_t GetInfoWord38() override;
    bool GetInfoFlag37() override;
    bool GetInfoFlag5Bit4() override;
    bool GetInfoFlag68Bit1() override;
    bool GetInfoFlag68Bit0() override;
    bool GetUEFITokenFlag() override;
    bool GetHeaderFlag49() override;
    bool NeedsWriteProtectRemoval() override;
    std::string GetModificationDate() override;
    bool HasHardwareDataArea() override;
    void SetStraps(uint32_t word0, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                   uint32_t word5) override;
    void SetGUIDSource(uint32_t source) override;
    bool HasIEEE1394GUID() override;
    int32_t GetIEEE1394GUIDOffset() override;
    uint8_t GetIEEE1394GUIDSize() override;
    void SetIEEE1394GUID(uint32_t high, uint32_t low) override;
    std::string GetSignOnMessage() override { return BoardText(0); }
    std::string GetOEMString() override { return BoardText(1); }
    std::string GetVendorName() override { return BoardText(2); }
    std::string GetProductName() override { return BoardText(3); }
    std::string GetProductRevision() override { return BoardText(4); }
    int32_t FindPMID() override;
    int32_t ReadI2CDeviceList(std::vector<uint32_t>& entries) override;
    std::pair<int32_t, uint32_t> UpdateDisplayConfig() override;
    std::array<uint8_t, 16> GetPLLInfo(uint8_t pllId) override;
    std::string GetVarnexVersion() override { return GetVarnexVersionText(false); }
    // The Varnex store of the NBSI object "IB" (backup) or "IR"; none when
    // the object is missing or empty.
    CRefPtr<CVarnexImage> CreateVarnexImage(bool backup);
    std::string GetVarnexVersionText(bool backup);

    // UEFI driver in the chain's EFI block.
    std::string GetUEFISupport() override;
    std::string GetUEFIVersion() override;
    std::string GetUEFIVariantID() override;
    std::string GetUEFIFeatureString() override;
    std::vector<std::string> GetUEFISigners() override;
    std::string CanUpdateUEFI() override;
    std::string CheckUEFIImage(const uint8_t* bytes, uint32_t length) override;
    bool UpdateUEFIImage(const uint8_t* bytes, uint32_t length, CLog* log) override;

    // Run-time ROM pack fields, preservation lookups and the microcode entry.
    void SetRuntimePackWord(uint16_t word) override;
    uint16_t GetRuntimePackWord() override;
    uint8_t GetRuntimePackAppliedCount() override;
    uint8_t GetRuntimePackRecordCapacity() override;
    int32_t GetRuntimePackRecord(uint32_t index) override;
    int32_t GetPreservationHeaderWord4() override;
    int32_t GetPreservationHeaderByte6() override;
    int32_t GetPreservationHeaderBlockOffset() override;
    uint32_t FindPreservedData(IROMImage* image, PreservedDataRecord& record) override;
    uint32_t GetPreservedRegisterValue(IROMImage* image, uint8_t ramStrap, uint32_t registerAddress,
                                       uint32_t& value) override;
    uint32_t TunePreservedRegisterValue(IROMImage* image, uint8_t ramStrap,
                                        uint32_t registerAddress, uint32_t value, uint32_t mask,
                                        uint32_t operation) override;
    int32_t FindPreservedRegisterOffset(IROMImage* image, PreservedRegisterQuery& query);
    int32_t FindKestrixUcodeEntry(uint8_t id) override;

    // The init-from-ROM segment.
    bool StripIFR() override;
    bool CreateBexorIFR(uint32_t variant) override;
    bool UpdateBexorIFR(bool replaceCommands) override;

    // Certificate block of a signed image.
    int32_t FindBCRTBlock() override;
    int32_t GetX509CertificateList(uint32_t type) override;
    int32_t FindNextX509Certificate(int32_t entry, uint32_t type) override;
    int32_t FindBCRTHATBase() override;
    int32_t GetCertificateTableOffset() override;
    int32_t GetCertInfoBlockOffset() override;
    int32_t GetCertInfoBlockEnd() override;
    bool WriteCertInfoBlock(const uint8_t* bytes, uint32_t count) override;
    std::string GetImageHashText(bool hex) override;
    bool HasBCRT() override;

    // The first block's code type, 0xFF when the image has no valid chain.
    uint8_t GetFirstCodeType();
    std::string GetCodeTypeName();
    // Applies the effective-length rule of the block's KPDE extension to the
    // PCIR length (bytes) and indicator the caller passes.
    void GetSubImageLength(int32_t pcir, uint32_t& length, uint8_t& indicator);
    void SetSubImageLength(int32_t pcir, uint32_t length, uint8_t indicator);
    uint8_t GetKPDEFlags(int32_t block);

protected:
    void ResetBITCache() override;
    int32_t FindBytes(const uint8_t* pattern, uint32_t length) override;
    bool IsRangeLoaded(int32_t offset, uint32_t length) override;

    void GetPCIBlockInfo(PCIBlockInfo& info, int32_t block);
    void SetPCIBlockInfo(PCIBlockInfo& info, int32_t block);
    void ResetWindow();
    bool HasIFRHeader();
    bool HasIFRHeaderData();
    bool HasCompleteIFR();

    // Register commands of the init-from-ROM segment.
    static uint32_t SetOddParity(uint32_t word);
    static uint32_t EncodeIFRCommand(uint32_t countField, uint32_t address, uint32_t type);
    bool ReadIFRCommands(std::vector<uint32_t>& words, int32_t source);
    // The destination limit is the last offset a word may be written at; -1
    // takes the loaded size.
    bool CopyIFRCommands(int32_t destination, int32_t source, int64_t destinationLimit = -1);
    bool ConvertIFRCommands(int32_t destination, int32_t source, int64_t destinationLimit = -1);
    bool ParseAvrelRomData(AvrelRomData& record);
    // The steps of UpdateBexorIFR.
    void PutSegmentDword(uint32_t window, uint32_t at, uint32_t value);
    void WriteIFRStraps(uint32_t window, const AvrelRomData& data, uint32_t variant);
    bool ReplaceIFRCommands(uint32_t window, int32_t extension, uint32_t version,
                            const AvrelRomData& data);
    void SealIFRHeader(uint32_t window, uint32_t variant);

private:
    // The five board texts of token 'S': sign-on, OEM, vendor, product,
    // revision.
    std::string BoardText(uint32_t which);
    int32_t GetRuntimePackWordOffset();
    // Data of token 'B' version 2 of at least this size, its bytes loaded.
    int32_t BiosDataV2(uint16_t size);

    struct NewBlockPlace
    {
        int32_t newOffset = -1;
        int32_t lastOffset = -1;
        uint32_t firstLength = 0;
        bool hasPrivate = false;
    };
    NewBlockPlace GetNewPCIBlockInfo();

    // Keeps a copy of the whole image; unless committed, puts it back when it
    // goes out of scope, so an edit that fails leaves the image as it was.
    class CEditSnapshot
    {
    public:
        explicit CEditSnapshot(CROMImageGPUImpl& image);
        ~CEditSnapshot();
        CEditSnapshot(const CEditSnapshot&) = delete;
        CEditSnapshot& operator=(const CEditSnapshot&) = delete;
        void Commit() { m_committed = true; }

    private:
        CROMImageGPUImpl& m_image;
        CImageBuffer m_bytes;
        uint32_t m_loadedSize;
        bool m_offsetMode;
        bool m_committed = false;
    };

    // The end of a block by its effective length, never past the loaded view.
    uint64_t BlockEnd(int32_t block, int32_t pcir);

    // Loaded bytes as the current mode sees them: from the window start in
    // offset mode, from the buffer start otherwise.
    uint32_t ViewLimit();
    // The effective length and indicator of a block with a PCIR structure.
    void EffectiveLength(int32_t block, int32_t pcir, uint32_t& length, uint8_t& indicator);
    // The KPDE extension that belongs to a PCIR structure, -1 without one.
    int32_t FindKPDEForPCIR(int32_t pcir);
    bool SetIndicatorBits(int32_t at, uint8_t bits, bool set);
    int32_t KPDEIndicatorOffset(int32_t block);
    // Checks a block about to be appended before any byte is written.
    void ValidateNewBlock(const uint8_t* bytes, uint32_t size, uint32_t placeOffset);

    // Where an inserted block goes: its offset, the blocks on each side of it
    // and the super image holding it, as the chain read before the insertion.
    struct InsertPlace
    {
        std::optional<PCIBlockInfo> container;
        std::optional<PCIBlockInfo> previous;
        std::optional<PCIBlockInfo> next;
        bool hasPrivate = false;
        int32_t newOffset = -1;
    };
    InsertPlace FindInsertPlace(int32_t offset);
    // The block at a position of the chain walk; a corrupted record throws.
    PCIBlockInfo ReadChainBlock(uint64_t position);
    void NoteInsertNeighbours(InsertPlace& place, const PCIBlockInfo& block, uint64_t position,
                              int32_t offset);
    PCIBlockInfo PlaceInsertedBlock(InsertPlace& place, const uint8_t* bytes, uint32_t size);
    void LinkInsertedBlock(InsertPlace& place, PCIBlockInfo& inserted, bool joinContainer);
    void LinkIntoPublicChain(InsertPlace& place, const PCIBlockInfo& inserted, bool joinContainer);
    void GrowContainer(InsertPlace& place, const PCIBlockInfo& inserted);
    static void FollowContainer(InsertPlace& place);
    static void LinkIntoPrivateChain(std::optional<PCIBlockInfo>& previous, bool previousPrivate,
                                     bool insertedPrivate, bool nextPrivate);
    static void LinkBeforePrivateChain(InsertPlace& place, PCIBlockInfo& inserted);
    void WriteInsertedRecords(InsertPlace& place, PCIBlockInfo& inserted);
    void WriteBlockRecord(PCIBlockInfo& block);
    // Replaces the whole image with a merged one.
    void TakeMergedImage(IROMImage& merged);

    uint32_t m_windowOffset = 0;
    bool m_offsetMode = true;
    bool m_kpdeFlag1 = false;
    bool m_kpdeFlag3 = false;
};
