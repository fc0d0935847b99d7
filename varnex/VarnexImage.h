#pragma once
// One Varnex image held in memory: an ordered list of objects, built from the
// bytes of an image in either stored form and written back in either form.
//
//   erased       every byte 0xFF (or none)   no objects
//   raw          bytes 0-2 "ROM"             the directory, then the objects it lists
//                                            (no two of them sharing a byte)
//   file system  bytes 0-3 "JFFS"            one file per object (VarnexFileSystem.h)
//
// A store that cannot be read gives an image without objects, which is not
// valid; nothing here throws or prints, except the file-system builder's lines.

#include "core/Log.h"
#include "core/RefCount.h"
#include "varnex/VarnexCalendar.h"
#include "varnex/VarnexObject.h"

#include <memory>
#include <span>
#include <vector>

class CVarnexImage : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD

    enum Format
    {
        kFormatRaw = 0,
        kFormatFileSystem = 1,
        kFormatUnknown = 2,
    };
    enum SerializeMode
    {
        kSerializeRaw = 0,
        kSerializeFileSystem = 1,
    };

    // An image without objects.
    CVarnexImage() = default;
    // Reads the bytes; they are never changed (the file-system form is mounted
    // on a copy).
    explicit CVarnexImage(std::span<const uint8_t> bytes);
    ~CVarnexImage() override;

    // Every byte is 0xFF; true for no bytes.
    static bool IsErased(std::span<const uint8_t> bytes);
    static Format DetectFormat(std::span<const uint8_t> bytes);
    // The object of the class that serves tag, parsed at offset; none for the
    // zero tag and FF FF FF.
    static std::unique_ptr<CVarnexImageObject>
    CreateObject(const VarnexTag& tag, std::span<const uint8_t> bytes, uint16_t offset);

    // At least one object, and every object has data.
    bool IsValid() const;
    // The first object with the tag, or none; owned by the image.
    CVarnexImageObject* FindObject(const VarnexTag& tag) const;
    // The objects in list order; owned by the image.
    std::vector<CVarnexImageObject*> GetObjects() const;
    size_t GetObjectCount() const { return m_objects.size(); }
    // Appends an object; the image owns it from now on.
    void AddObject(std::unique_ptr<CVarnexImageObject> object);

    // Mode 0 the raw form, 1 the file-system form, anything else empty.
    std::vector<uint8_t> Serialize(int mode, CLog* log) const;
    std::vector<uint8_t> GetRawBytes(CLog* log) const;
    // The raw form; empty when the image is not valid, has no directory, or its
    // directory does not place the objects back to back (a gap, or an object
    // grown without UpdateDirectory that would be written over the next one).
    std::vector<uint8_t> SerializeRaw() const;
    // The file-system form; empty when it cannot be built.
    std::vector<uint8_t> SerializeFileSystem(CLog* log) const;
    // Appends the file-system form to out: 0 done, 3 two objects of one tag
    // (they would share a file) or an object whose bytes disagree with its
    // size, 4 the content or more than 20 files do not fit.
    virtual int BuildFileSystemImage(std::vector<uint8_t>& out, CLog* log) const;

    // Rebuilds the directory from the object list, dated by the calendar (the
    // local date when none is given). False, changing nothing, when the image
    // is not valid, has no directory, or the directory cannot list every object.
    bool UpdateDirectory(IVarnexCalendar* calendar = nullptr);

    void ReleaseObjects();

private:
    void ParseRaw(std::span<const uint8_t> bytes);
    void ParseFileSystem(std::span<const uint8_t> bytes);

    std::vector<std::unique_ptr<CVarnexImageObject>> m_objects;
};
