#pragma once
// The multi-image ROM file implementation. The file format lives in
// ROMMeldFile.cpp, the delta coding in DeltaImage.cpp and the run-time ROM
// packs in ROMMeldRuntimePack.cpp; this header holds what they share.

#include "core/RefCount.h"
#include "image/DeltaImage.h"
#include "image/IROMMeld.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// One trace line of the meld's operations at the log's current level; a null
// log writes nothing.
void TraceLine(CLog* log, const std::string& line);

class CROMMeldImpl : public CReferenceCountImpl, public IROMMeld
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CROMMeldImpl();
    ~CROMMeldImpl() override = default;

    void SetVersion(uint32_t version) override;
    void SetSelectionType(uint32_t type) override;
    void SetRuntimePackMode(bool on) override { m_runtimePackMode = on; }
    uint32_t GetCertificationResult() override { return m_certificationResult; }
    uint32_t GetReservedWord() override { return m_reservedWord; }

    bool VerifyAllCertificates(CLog*) override { return true; }
    bool VerifyImageCertificate(IROMImage*, CLog*) override { return true; }
    void OnImageWritten(IROMImage*, CLog*) override {}
    void EndCertification(CLog*) override {}
    CRefPtr<IROMImage> CertifyImage(IROMImage* image, CLog*) override { return image; }
    bool CertifyPack(CLog*) override { return true; }
    bool IsRuntimePackMode() override { return m_runtimePackMode; }

    void AddImage(CRefPtr<IROMImage> image) override;
    void ReplaceImage(CRefPtr<IROMImage> image, uint32_t index) override;
    uint32_t GetImageCount() override { return static_cast<uint32_t>(m_content.images.size()); }
    CRefPtr<IROMImage> GetImage(uint32_t index) override;

    std::string GetVarnexVersion() override { return m_content.varnexVersion; }
    bool HasVarnexBlock() override { return m_content.hasVarnexBlock; }
    bool HasVarnexBackupBlock() override { return m_content.hasVarnexBackupBlock; }

    CRefPtr<IVFieldTable> GetVFieldTable() override { return m_content.vfieldTable; }
    SelectionCriteria GetSelection() override;

    void ReadFromBuffer(const uint8_t* bytes, uint32_t length, CLog* log) override;
    void ReadFromStream(std::istream& input, CLog* log) override;
    void WriteToStream(std::ostream& output, CLog* log) override;
    void ReadFromFile(const std::string& fileName, CLog* log) override;
    void WriteToFile(const std::string& fileName, CLog* log) override;

    // ---- delta coding (DeltaImage.cpp) --------------------------------------
    // Public so that tools and tests reach the coding without a file around it.

    // The ranges in which the image differs from the master, in offset order.
    virtual DiffRangeList ComputeDiffRanges(IROMImage* master, IROMImage* image);
    virtual DiffRangeList MergeDiffRanges(const DiffRangeList& ranges);
    // The byte count WriteDelta writes for the list.
    virtual uint32_t GetDeltaSize(const DiffRangeList& ranges);
    virtual uint32_t WriteDelta(std::ostream& output, const DiffRangeList& ranges,
                                IROMImage* image, CLog* log);
    // Reads a delta of deltaLength bytes into the image, whose records must
    // stay below imageSize and end exactly at deltaLength; returns the bytes
    // consumed.
    virtual uint32_t ApplyDelta(std::istream& input, uint32_t deltaLength, uint32_t imageSize,
                                IROMImage* image, CLog* log);

    // ---- the file (ROMMeldFile.cpp) -----------------------------------------
    // baseLength is 0 for a plain file and the base image's length for the
    // data of a run-time ROM pack.
    virtual void WriteMegaROM(std::ostream& output, uint32_t baseLength, CLog* log);
    virtual void ReadMegaROM(std::istream& input, uint32_t baseLength, CLog* log);

protected:
    void Reset();
    // A copy of the master's first imageSize bytes with the delta applied,
    // made into an image of its own.
    CRefPtr<IROMImage> RebuildFromDelta(IROMImage* master, const std::vector<uint8_t>& delta,
                                        uint32_t imageSize, CLog* log);

    // ---- the file's parts (ROMMeldFile.cpp) ---------------------------------
    void TraceFileHeader(CLog* log);
    void WriteFileHeader(std::ostream& output, CLog* log);
    void WriteImageRecord(std::ostream& output, uint32_t index, uint32_t baseLength,
                          std::optional<uint32_t>& master, CLog* log);
    void ReadFileHeader(std::istream& input, CLog* log);
    CRefPtr<IROMImage> ReadDeltaImage(std::istream& input, uint32_t masterIndex,
                                      uint32_t storedSize, uint32_t imageSize, uint32_t index,
                                      CLog* log);

    // ---- run-time ROM packs (ROMMeldRuntimePack.cpp) ------------------------
    void WriteRuntimePack(std::ostream& output, CLog* log);
    void ReadRuntimePack(std::istream& input, CLog* log);

    uint32_t m_certificationResult = 0;

private:
    // Everything a read replaces: the file's header fields, its VField table,
    // its images and what a run-time ROM pack said of its Varnex store.
    struct Content
    {
        std::array<char, 8> key{};
        uint32_t version = kMegaROMVersion103;
        uint32_t selectionType = 0;
        CRefPtr<IVFieldTable> vfieldTable;
        std::vector<CRefPtr<IROMImage>> images;
        std::string varnexVersion = "N/A";
        bool hasVarnexBlock = false;
        bool hasVarnexBackupBlock = false;
    };

    uint32_t m_reservedWord = 0;
    Content m_content;
    bool m_runtimePackMode = false;
};
