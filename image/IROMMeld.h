#pragma once
// A multi-image ROM file ("KRROM"): several GPU firmware images for different
// boards, each stored whole or as a delta against an earlier image of the
// file, with an optional selection definition (a selection type and a VField
// table) and per-image selection ranges that tell which boards an image is
// for. IROMMeld holds such a collection in memory, reads and writes it, and in
// run-time pack mode packs the first blocks of its images into one image.

#include "core/RefCount.h"
#include "image/IROMImage.h"
#include "image/IVFieldTable.h"

#include <cstdint>
#include <iosfwd>
#include <string>

class CLog;

// Format versions of a KRROM file.
inline constexpr uint32_t kMegaROMVersion101 = 0x101;
inline constexpr uint32_t kMegaROMVersion102 = 0x102;
inline constexpr uint32_t kMegaROMVersion103 = 0x103;

// How a ROM pack picks its image for an adapter: the selection kind (0 for a
// single image or a pack without selection) and the VField table the
// selection ranges refer to.
struct SelectionCriteria
{
    enum Kind : int32_t
    {
        None = 0,
        FieldRanges = 1,
        Speedometer = 2,
    };
    int32_t kind = None;
    CRefPtr<IVFieldTable> fields; // for FieldRanges
};

class IROMMeld : public IReferenceCount
{
public:
    static CRefPtr<IROMMeld> Create();

    virtual void SetVersion(uint32_t version) = 0;
    virtual void SetSelectionType(uint32_t type) = 0;
    virtual void SetRuntimePackMode(bool on) = 0;
    virtual uint32_t GetCertificationResult() = 0;
    virtual uint32_t GetReservedWord() = 0;

    // Certification hooks; the plain meld accepts everything.
    virtual bool VerifyAllCertificates(CLog* log) = 0;
    virtual bool VerifyImageCertificate(IROMImage* image, CLog* log) = 0;
    virtual void OnImageWritten(IROMImage* image, CLog* log) = 0;
    virtual void EndCertification(CLog* log) = 0;
    virtual CRefPtr<IROMImage> CertifyImage(IROMImage* image, CLog* log) = 0;
    virtual bool CertifyPack(CLog* log) = 0;
    virtual bool IsRuntimePackMode() = 0;

    // Images, in file order. An unnamed image is named "Image[n]".
    virtual void AddImage(CRefPtr<IROMImage> image) = 0;
    virtual void ReplaceImage(CRefPtr<IROMImage> image, uint32_t index) = 0;
    virtual uint32_t GetImageCount() = 0;
    // std::out_of_range for an index at or past the count.
    virtual CRefPtr<IROMImage> GetImage(uint32_t index) = 0;

    // What the last run-time ROM pack read said of its Varnex store.
    virtual std::string GetVarnexVersion() = 0;
    virtual bool HasVarnexBlock() = 0;
    virtual bool HasVarnexBackupBlock() = 0;

    virtual CRefPtr<IVFieldTable> GetVFieldTable() = 0;
    virtual SelectionCriteria GetSelection() = 0;

    // A read replaces the meld's images, settings and VField table (with a
    // new table object) only when the whole stream has been read and accepted;
    // a failed read leaves the meld as it was. The log may be null.
    virtual void ReadFromBuffer(const uint8_t* bytes, uint32_t length, CLog* log) = 0;
    virtual void ReadFromStream(std::istream& input, CLog* log) = 0;
    virtual void WriteToStream(std::ostream& output, CLog* log) = 0;
    virtual void ReadFromFile(const std::string& fileName, CLog* log) = 0;
    virtual void WriteToFile(const std::string& fileName, CLog* log) = 0;

protected:
    ~IROMMeld() = default;
};
