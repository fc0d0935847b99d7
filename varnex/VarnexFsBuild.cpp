// Building the file-system form of a Varnex image: the superblock, the
// read-only files in object order, dummy nodes up to the next block, then the
// read-write files, padded with 0xFF to 20480 or 32768 bytes.

#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexPack.h"

#include <array>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

namespace
{

// The attribute 0xFF counts as 0 (read-only, checksummed).
uint8_t EffectiveAttribute(uint8_t attribute)
{
    return attribute == 0xFF ? 0 : attribute;
}

std::array<uint8_t, kVarnexFsNodeSize> MakeNode(uint8_t flags, const VarnexTag& tag,
                                                uint16_t offset, uint8_t length,
                                                std::span<const uint8_t> data)
{
    std::array<uint8_t, kVarnexFsNodeSize> node{};
    node.fill(0xFF);
    std::array<int32_t, 15> header{};
    header[0] = flags;
    for (size_t i = 0; i < 3; ++i)
    {
        header[1 + i] = static_cast<int8_t>(tag.bytes[i]);
    }
    header[4] = offset;
    header[5] = length;
    PackRecord(kVarnexFsNodeHeaderFormat, std::span(node).first(kVarnexFsNodeHeaderSize), header);
    std::memcpy(node.data() + kVarnexFsNodeHeaderSize, data.data(), data.size());
    node[8] = VarnexFsChecksum(node, 0, kVarnexFsNodeSize, 8);
    return node;
}

// Every object becomes a file named by its tag, so two objects of one tag
// would merge into one file and a mount holds at most 20 files: either would
// build a file system that does not read back as the image.
int CheckFileNames(const std::vector<std::unique_ptr<CVarnexImageObject>>& objects, CLog* log)
{
    std::ostringstream message;
    int result = kVarnexFsOk;
    std::set<uint32_t> seen;
    for (const auto& object : objects)
    {
        if (!seen.insert(object->GetTag().ToInteger()).second)
        {
            message << "Error: Varnex Image holds more than one " << TagToString(object->GetTag())
                    << " object";
            result = kVarnexFsCorrupt;
            break;
        }
    }
    if (result == kVarnexFsOk && seen.size() > kVarnexFsMaxFiles)
    {
        message << "Error: Varnex Image can't be fit into FS";
        result = kVarnexFsDoesNotFit;
    }
    if (result != kVarnexFsOk)
    {
        FlushMessageBuffer(message, log, 3);
    }
    return result;
}

} // namespace

int VarnexFsWriteObjectNodes(const CVarnexImageObject& object, uint8_t attribute,
                             std::vector<uint8_t>& out, CLog* log)
{
    std::vector<uint8_t> bytes;
    object.Serialize(bytes, 0);
    const uint16_t size = object.GetSize();
    // Reading size bytes of a shorter serialisation would run off its end.
    if (bytes.size() < size)
    {
        return kVarnexFsCorrupt;
    }
    const uint8_t flags =
        static_cast<uint8_t>(kVarnexFsFlagLive | ((attribute & 1) ? kVarnexFsFlagReadWrite : 0) |
                             ((attribute & 2) ? kVarnexFsFlagUnchecked : 0));
    uint32_t offset = 0;
    uint32_t remaining = size;
    while (offset < size)
    {
        const uint32_t n = std::min(kVarnexFsNodeDataSize, remaining);
        const auto node = MakeNode(flags, object.GetTag(), static_cast<uint16_t>(offset),
                                   static_cast<uint8_t>(n), std::span(bytes).subspan(offset, n));
        log->SetLevel(3);
        *log << "Writing data from offset: " << kVarnexFsNodeHeaderSize
             << " to offset: " << kVarnexFsNodeHeaderSize + n << LogEndl;
        *log << "Writing remaining data as 0xFF from offset: " << kVarnexFsNodeHeaderSize + n
             << " to offset: " << kVarnexFsNodeSize << LogEndl;
        *log << " writeSize = " << n << " bytesToCopy = " << remaining
             << " objectOffset = " << offset << " objectSize = " << size << LogEndl;
        out.insert(out.end(), node.begin(), node.end());
        offset += n;
        remaining -= n;
    }
    return kVarnexFsOk;
}

int VarnexFsWriteDummyNodes(std::vector<uint8_t>& out, uint32_t count, CLog* log)
{
    if (count % kVarnexFsNodeSize != 0)
    {
        log->SetLevel(3);
        *log << "Error while creating Dummy blocks: " << count << LogEndl;
        return kVarnexFsCorrupt;
    }
    const std::array<uint8_t, kVarnexFsNodeDataSize> erased = []
    {
        std::array<uint8_t, kVarnexFsNodeDataSize> bytes{};
        bytes.fill(0xFF);
        return bytes;
    }();
    for (uint32_t written = 0; written < count; written += kVarnexFsNodeSize)
    {
        const auto node = MakeNode(0, VarnexTags::Zero, 0, 0x80, erased);
        out.insert(out.end(), node.begin(), node.end());
    }
    return kVarnexFsOk;
}

int CVarnexImage::BuildFileSystemImage(std::vector<uint8_t>& out, CLog* log) const
{
    *log << "Num of Objects = " << m_objects.size() << LogEndl;
    if (!IsValid())
    {
        out.resize(std::max<size_t>(out.size(), kVarnexFsReadOnlySize), 0xFF);
        return kVarnexFsOk;
    }
    if (const int result = CheckFileNames(m_objects, log); result != kVarnexFsOk)
    {
        return result;
    }
    std::vector<uint8_t> image(kVarnexFsNodeSize, 0);
    std::memcpy(image.data(), "JFFS", 4);
    image[4] = kVarnexFsVersion;
    uint32_t total = kVarnexFsReadOnlySize;

    std::vector<const CVarnexImageObject*> readWrite;
    for (const auto& object : m_objects)
    {
        const uint8_t attribute = EffectiveAttribute(object->GetAttribute());
        if (attribute & 1)
        {
            readWrite.push_back(object.get());
        }
        else if (const int result = VarnexFsWriteObjectNodes(*object, attribute, image, log);
                 result != kVarnexFsOk)
        {
            return result;
        }
    }
    *log << "Num of RW Objects = " << readWrite.size() << LogEndl;

    uint32_t dummy = kVarnexFsBlockSize - static_cast<uint32_t>(image.size() % kVarnexFsBlockSize);
    if (dummy == kVarnexFsBlockSize)
    {
        dummy = 0;
    }
    *log << "Size of image with dummy RO blocks  = " << dummy << LogEndl;
    if (const int result = VarnexFsWriteDummyNodes(image, dummy, log); result != kVarnexFsOk)
    {
        return result;
    }
    for (const CVarnexImageObject* object : readWrite)
    {
        total = kVarnexFsReadWriteSize;
        if (const int result =
                VarnexFsWriteObjectNodes(*object, object->GetAttribute(), image, log);
            result != kVarnexFsOk)
        {
            return result;
        }
    }
    for (size_t i = 0; i < 4; ++i)
    {
        image[8 + i] = static_cast<uint8_t>(total >> (8 * i));
    }
    // Checked before anything is appended: a refused image leaves out as it was.
    if (image.size() > total - 2)
    {
        std::ostringstream message;
        message << "Error: Varnex Image can't be fit into FS";
        FlushMessageBuffer(message, log, 3);
        return kVarnexFsDoesNotFit;
    }
    image.resize(total, 0xFF);
    out.insert(out.end(), image.begin(), image.end());
    return kVarnexFsOk;
}
