#include "varnex/VarnexImage.h"

#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexPblObject.h"
#include "varnex/VarnexRomObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace
{
// Whether any two of the [start, end) ranges share a byte.
bool RangesOverlap(std::vector<std::pair<uint32_t, uint32_t>> ranges)
{
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
    {
        if (ranges[i].first < ranges[i - 1].second)
        {
            return true;
        }
    }
    return false;
}
} // namespace

CVarnexImage::CVarnexImage(std::span<const uint8_t> bytes)
{
    if (IsErased(bytes))
    {
        return;
    }
    switch (DetectFormat(bytes))
    {
    case kFormatRaw:
        ParseRaw(bytes);
        break;
    case kFormatFileSystem:
        ParseFileSystem(bytes);
        break;
    default:
        break;
    }
}

CVarnexImage::~CVarnexImage()
{
    ReleaseObjects();
}

bool CVarnexImage::IsErased(std::span<const uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

CVarnexImage::Format CVarnexImage::DetectFormat(std::span<const uint8_t> bytes)
{
    if (bytes.size() >= 3 && std::memcmp(bytes.data(), "ROM", 3) == 0)
    {
        return kFormatRaw;
    }
    // The file-system form starts with a 128-byte superblock.
    if (bytes.size() >= kVarnexFsNodeSize && std::memcmp(bytes.data(), "JFFS", 4) == 0)
    {
        return kFormatFileSystem;
    }
    return kFormatUnknown;
}

std::unique_ptr<CVarnexImageObject>
CVarnexImage::CreateObject(const VarnexTag& tag, std::span<const uint8_t> bytes, uint16_t offset)
{
    using namespace VarnexTags;
    if (!tag.IsReal())
    {
        return nullptr;
    }
    if (tag == ROM)
    {
        return std::make_unique<CVarnexImageRomObject>(bytes, offset);
    }
    if (tag == IMG)
    {
        return std::make_unique<CVarnexImageImgObject>(bytes, offset);
    }
    if (tag == OBD)
    {
        return std::make_unique<CVarnexImageObdObject>(bytes, offset);
    }
    if (tag == PBL)
    {
        return std::make_unique<CVarnexImagePblObject>(bytes, offset);
    }
    if (tag == OEM)
    {
        return std::make_unique<CVarnexImageOemObject>(bytes, offset);
    }
    if (tag == PPO)
    {
        return std::make_unique<CVarnexImagePpoObject>(bytes, offset);
    }
    if (tag == ECC)
    {
        return std::make_unique<CVarnexImagePersistentObject>(tag, bytes, offset);
    }
    if (tag == EEN)
    {
        return std::make_unique<CVarnexImageEenObject>(bytes, offset);
    }
    if (tag == BBO)
    {
        return std::make_unique<CVarnexImageBboObject>(bytes, offset);
    }
    return std::make_unique<CVarnexImageObject>(tag, bytes, offset);
}

bool CVarnexImage::IsValid() const
{
    return !m_objects.empty() && std::all_of(m_objects.begin(), m_objects.end(),
                                             [](const auto& object) { return object->HasData(); });
}

CVarnexImageObject* CVarnexImage::FindObject(const VarnexTag& tag) const
{
    for (const auto& object : m_objects)
    {
        if (object->GetTag() == tag)
        {
            return object.get();
        }
    }
    return nullptr;
}

std::vector<CVarnexImageObject*> CVarnexImage::GetObjects() const
{
    std::vector<CVarnexImageObject*> objects;
    for (const auto& object : m_objects)
    {
        objects.push_back(object.get());
    }
    return objects;
}

void CVarnexImage::AddObject(std::unique_ptr<CVarnexImageObject> object)
{
    if (object)
    {
        m_objects.push_back(std::move(object));
    }
}

void CVarnexImage::ReleaseObjects()
{
    m_objects.clear();
}

void CVarnexImage::ParseRaw(std::span<const uint8_t> bytes)
{
    auto directory = CreateObject(VarnexTags::ROM, bytes, 0);
    if (!directory || !directory->HasData())
    {
        return;
    }
    std::vector<VarnexDirectoryEntry> entries;
    static_cast<CVarnexImageRomObject*>(directory.get())->ListEntries(entries);
    m_objects.push_back(std::move(directory));
    // An entry whose object does not parse still gives an (empty) object, so
    // the image reads as not valid rather than silently short of an object.
    std::vector<std::pair<uint32_t, uint32_t>> ranges{{0u, m_objects.front()->GetSize()}};
    for (const VarnexDirectoryEntry& entry : entries)
    {
        auto object = CreateObject(entry.tag, bytes, entry.offset);
        if (object && object->HasData())
        {
            ranges.emplace_back(entry.offset, entry.offset + uint32_t{object->GetSize()});
        }
        AddObject(std::move(object));
    }
    // Objects that share bytes cannot each be changed and written back: the
    // store is refused like one whose directory does not parse.
    if (RangesOverlap(ranges))
    {
        ReleaseObjects();
    }
}

void CVarnexImage::ParseFileSystem(std::span<const uint8_t> bytes)
{
    // The mount retires stale node copies in its source; it works on a copy so
    // that the caller's bytes never change.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    if (copy.size() > UINT32_MAX)
    {
        return;
    }
    const uint32_t version =
        copy[4] | (uint32_t{copy[5]} << 8) | (uint32_t{copy[6]} << 16) | (uint32_t{copy[7]} << 24);
    VarnexFsSource source{copy.data(), static_cast<uint32_t>(copy.size())};
    // Closed on every way out, a failed allocation during the mount included.
    const auto close = [](VarnexFsContext* opened) { opened->operations.Close(opened); };
    const std::unique_ptr<VarnexFsContext, decltype(close)> owner(
        CreateVarnexFileSystem(&source, version), close);
    VarnexFsContext* context = owner.get();
    if (context == nullptr)
    {
        return;
    }
    std::vector<std::unique_ptr<CVarnexImageObject>> objects;
    bool complete = false;
    std::array<uint8_t, 3 * kVarnexFsMaxFiles> names{};
    uint32_t count = 0;
    if (context->operations.Mount(context) == kVarnexFsOk &&
        context->operations.List(context, names.data(), &count) == kVarnexFsOk)
    {
        complete = true;
        for (uint32_t i = 0; i < count && complete; ++i)
        {
            const uint8_t* name = &names[3 * i];
            uint16_t size = 0;
            std::vector<uint8_t> file;
            complete = context->operations.GetSize(context, name, &size) == kVarnexFsOk;
            if (complete)
            {
                file.resize(size);
                complete =
                    context->operations.Read(context, name, 0, size, file.data()) == kVarnexFsOk;
            }
            if (complete)
            {
                if (auto object =
                        CreateObject(VarnexTag::FromBytes(name[0], name[1], name[2]), file, 0))
                {
                    objects.push_back(std::move(object));
                }
            }
        }
    }
    // A file that cannot be read fails the whole store: an image short of one
    // of its objects must not pass as valid.
    if (complete)
    {
        m_objects = std::move(objects);
    }
}

std::vector<uint8_t> CVarnexImage::Serialize(int mode, CLog* log) const
{
    switch (mode)
    {
    case kSerializeRaw:
        return SerializeRaw();
    case kSerializeFileSystem:
        return SerializeFileSystem(log);
    default:
        return {};
    }
}

std::vector<uint8_t> CVarnexImage::GetRawBytes(CLog* log) const
{
    return Serialize(kSerializeRaw, log);
}

std::vector<uint8_t> CVarnexImage::SerializeRaw() const
{
    if (!IsValid())
    {
        return {};
    }
    const auto* directory = dynamic_cast<const CVarnexImageRomObject*>(FindObject(VarnexTags::ROM));
    if (directory == nullptr)
    {
        return {};
    }
    std::vector<uint8_t> output;
    directory->Serialize(output, 0);
    std::vector<VarnexDirectoryEntry> entries;
    directory->ListEntries(entries);
    // The n-th entry of a tag writes the n-th object of that tag, so two
    // objects sharing a tag both reach the output.
    std::map<uint32_t, size_t> used;
    for (const VarnexDirectoryEntry& entry : entries)
    {
        size_t skip = used[entry.tag.ToInteger()]++;
        const CVarnexImageObject* match = nullptr;
        for (const auto& object : m_objects)
        {
            if (object.get() != directory && object->GetTag() == entry.tag && skip-- == 0)
            {
                match = object.get();
                break;
            }
        }
        if (match == nullptr)
        {
            continue;
        }
        // Every byte written so far belongs to an object, so an offset before
        // the end would write one object over another (one grown without a
        // directory update), and an offset past it would leave a gap of
        // undefined bytes: both are refused.
        if (entry.offset != output.size() || !match->Serialize(output, entry.offset))
        {
            return {};
        }
    }
    return output;
}

std::vector<uint8_t> CVarnexImage::SerializeFileSystem(CLog* log) const
{
    std::vector<uint8_t> output;
    if (BuildFileSystemImage(output, log) != kVarnexFsOk)
    {
        return {};
    }
    return output;
}

bool CVarnexImage::UpdateDirectory(IVarnexCalendar* calendar)
{
    if (!IsValid())
    {
        return false;
    }
    auto* directory = dynamic_cast<CVarnexImageRomObject*>(FindObject(VarnexTags::ROM));
    if (directory == nullptr)
    {
        return false;
    }
    CRefPtr<IVarnexCalendar> systemCalendar;
    if (calendar == nullptr)
    {
        systemCalendar = CreateSystemVarnexCalendar();
        calendar = systemCalendar.get();
    }
    const std::vector<CVarnexImageObject*> objects = GetObjects();
    return directory->RebuildDirectory(objects, calendar->GetLocalDate());
}
