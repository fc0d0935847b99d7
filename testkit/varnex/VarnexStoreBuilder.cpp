#include "testkit/varnex/VarnexStoreBuilder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace testkit
{

namespace
{

void PutLe(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; ++i)
    {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const std::string& text, size_t width)
{
    std::copy_n(text.begin(), std::min(text.size(), width), bytes.begin() + static_cast<long>(at));
}

std::array<uint8_t, 3> TagBytes(const std::string& tag)
{
    if (tag.size() != 3)
    {
        throw std::invalid_argument("a Varnex tag has three characters: " + tag);
    }
    return {static_cast<uint8_t>(tag[0]), static_cast<uint8_t>(tag[1]),
            static_cast<uint8_t>(tag[2])};
}

// Bodies below are laid out as the record's bytes from offset 8 on.
constexpr size_t kHeader = 8;

} // namespace

CVarnexStoreBuilder::CVarnexStoreBuilder() = default;

CVarnexStoreBuilder& CVarnexStoreBuilder::Directory(uint32_t entries, const VarnexDate& date)
{
    if (entries != 10 && entries != 19)
    {
        throw std::invalid_argument("a Varnex directory has 10 or 19 entries");
    }
    m_entries = entries;
    m_date = date;
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Add(const std::string& tag, std::vector<uint8_t> body)
{
    Object object;
    object.tag = TagBytes(tag);
    object.body = std::move(body);
    m_objects.push_back(std::move(object));
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Img(const std::string& versionText, uint16_t deviceId,
                                              uint16_t vendorId, uint16_t subsystemId,
                                              uint16_t subsystemVendorId, bool waiveIdCheck)
{
    std::vector<uint8_t> body(64 - kHeader, 0);
    PutText(body, 0, versionText, 16);
    PutLe(body, 16, deviceId, 2);
    PutLe(body, 18, vendorId, 2);
    PutLe(body, 20, subsystemId, 2);
    PutLe(body, 22, subsystemVendorId, 2);
    body[24] = waiveIdCheck ? 1 : 0;
    return Add("IMG", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Obd(const std::string& productNumber,
                                              const std::string& marketingName,
                                              const std::string& serialNumber)
{
    std::vector<uint8_t> body(128 - kHeader, 0);
    PutLe(body, 8 - kHeader, 20240305, 4); // BoardBuildDate
    PutText(body, 12 - kHeader, marketingName, 24);
    PutText(body, 36 - kHeader, serialNumber, 16);
    body[52 - kHeader] = 3; // MemoryManufacturer
    PutText(body, 79 - kHeader, productNumber, 20);
    PutText(body, 99 - kHeader, "A01", 3);
    return Add("OBD", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Oem(std::vector<uint8_t> body)
{
    return Add("OEM", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Ecc(std::vector<uint8_t> body)
{
    return Add("ECC", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Pbl(uint8_t version, uint8_t subversion,
                                              std::vector<uint64_t> eccOnPages,
                                              std::vector<uint64_t> eccOffPages)
{
    size_t capacity = 64;
    size_t recordBytes = 1040;
    if (version == 2 && subversion == 1)
    {
        capacity = 20;
        recordBytes = 336;
    }
    else if (version == 3 && subversion == 0)
    {
        recordBytes = 1292;
    }
    else if (!(version == 2 && subversion == 0))
    {
        throw std::invalid_argument("PBL versions are 2.0, 2.1 and 3.0");
    }
    if (eccOnPages.size() > capacity || eccOffPages.size() > capacity)
    {
        throw std::invalid_argument("more PBL pages than the version holds");
    }
    std::vector<uint8_t> body(recordBytes - kHeader, 0);
    body[9 - kHeader] = static_cast<uint8_t>(eccOffPages.size());
    for (size_t i = 0; i < eccOnPages.size(); ++i)
    {
        PutLe(body, 11 - kHeader + 8 * i, eccOnPages[i], 8);
    }
    for (size_t i = 0; i < eccOffPages.size(); ++i)
    {
        PutLe(body, 11 - kHeader + 8 * (capacity + i), eccOffPages[i], 8);
    }
    Add("PBL", std::move(body));
    return WithVersion(version, subversion);
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Ppo(const std::vector<VarnexPolicyEntry>& entries,
                                              uint8_t tableVersion)
{
    if (entries.size() > 16)
    {
        throw std::invalid_argument("a power-policy table holds 16 entries");
    }
    std::vector<uint8_t> body(112 - kHeader, 0);
    body[0] = tableVersion;
    body[1] = 4;
    body[2] = 6;
    body[3] = static_cast<uint8_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const size_t at = 12 - kHeader + 6 * i;
        body[at] = entries[i].policy;
        body[at + 1] = entries[i].attribute;
        PutLe(body, at + 2, entries[i].valueMilliwatts, 4);
    }
    return Add("PPO", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Een(const std::array<uint32_t, 26>& words)
{
    std::vector<uint8_t> body(112 - kHeader, 0);
    for (size_t i = 0; i < words.size(); ++i)
    {
        PutLe(body, 4 * i, words[i], 4);
    }
    return Add("EEN", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Bbo(uint8_t id, uint8_t revision, uint16_t value)
{
    std::vector<uint8_t> body(112 - kHeader, 0);
    body[0] = id;
    body[1] = revision;
    PutLe(body, 2, value, 2);
    return Add("BBO", std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::Generic(const std::string& tag, std::vector<uint8_t> body)
{
    return Add(tag, std::move(body));
}

CVarnexStoreBuilder& CVarnexStoreBuilder::WithVersion(uint8_t version, uint8_t subversion)
{
    m_objects.back().version = version;
    m_objects.back().subversion = subversion;
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::WithAttribute(uint8_t attribute)
{
    m_objects.back().attribute = attribute;
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::WithSizeField(uint16_t size)
{
    m_objects.back().sizeField = size;
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::WithBadChecksum()
{
    m_objects.back().badChecksum = true;
    return *this;
}

CVarnexStoreBuilder& CVarnexStoreBuilder::FileSystemVersion(uint32_t version)
{
    m_fileSystemVersion = version;
    return *this;
}

std::vector<uint8_t> CVarnexStoreBuilder::Bytes(const Object& object)
{
    std::vector<uint8_t> bytes(kHeader, 0);
    std::copy(object.tag.begin(), object.tag.end(), bytes.begin());
    bytes[3] = object.version;
    bytes[4] = object.subversion;
    PutLe(bytes, 5, object.sizeField.value_or(static_cast<uint16_t>(kHeader + object.body.size())),
          2);
    bytes[7] = object.attribute;
    bytes.insert(bytes.end(), object.body.begin(), object.body.end());
    return bytes;
}

std::vector<uint8_t> CVarnexStoreBuilder::ObjectBytes(size_t index) const
{
    return Bytes(m_objects.at(index));
}

std::vector<uint8_t> CVarnexStoreBuilder::DirectoryBytes() const
{
    if (m_objects.size() > m_entries)
    {
        throw std::invalid_argument("more objects than directory entries");
    }
    const size_t size = m_entries == 10 ? 64 : 112;
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), "ROM", 3);
    bytes[3] = 1;
    bytes[4] = m_entries == 10 ? 1 : 2;
    PutLe(bytes, 5, size, 2);
    bytes[10] = m_date.day;
    bytes[11] = m_date.month;
    PutLe(bytes, 12, m_date.year, 2);
    size_t offset = size;
    for (size_t i = 0; i < m_objects.size(); ++i)
    {
        const size_t at = 14 + 5 * i;
        std::copy(m_objects[i].tag.begin(), m_objects[i].tag.end(),
                  bytes.begin() + static_cast<long>(at));
        PutLe(bytes, at + 3, offset, 2);
        offset += Bytes(m_objects[i]).size();
    }
    return bytes;
}

std::vector<uint8_t> CVarnexStoreBuilder::BuildRaw() const
{
    std::vector<uint8_t> raw = DirectoryBytes();
    for (const Object& object : m_objects)
    {
        const auto bytes = Bytes(object);
        raw.insert(raw.end(), bytes.begin(), bytes.end());
    }
    return raw;
}

uint8_t VarnexFsNodeChecksum(std::span<const uint8_t> node)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < node.size(); ++i)
    {
        if (i != 8)
        {
            sum = static_cast<uint8_t>(sum + node[i]);
        }
    }
    return static_cast<uint8_t>(0x100 - sum);
}

std::vector<uint8_t> MakeVarnexFsSuperblock(uint32_t version, uint32_t totalSize)
{
    std::vector<uint8_t> block(128, 0);
    std::memcpy(block.data(), "JFFS", 4);
    PutLe(block, 4, version, 4);
    PutLe(block, 8, totalSize, 4);
    return block;
}

std::array<uint8_t, 128> MakeVarnexFsNode(uint8_t flags, const std::string& tag, uint16_t offset,
                                          std::span<const uint8_t> data, uint8_t sequence,
                                          bool badChecksum)
{
    std::array<uint8_t, 128> node{};
    node.fill(0xFF);
    node[0] = flags;
    std::copy_n(tag.begin(), std::min<size_t>(tag.size(), 3), node.begin() + 1);
    node[4] = static_cast<uint8_t>(offset);
    node[5] = static_cast<uint8_t>(offset >> 8);
    node[6] = static_cast<uint8_t>(data.size());
    node[7] = sequence;
    std::fill(node.begin() + 8, node.begin() + 16, 0);
    std::copy_n(data.begin(), std::min<size_t>(data.size(), 112), node.begin() + 16);
    node[8] = VarnexFsNodeChecksum(node);
    if (badChecksum)
    {
        node[8] = static_cast<uint8_t>(node[8] + 1);
    }
    return node;
}

std::array<uint8_t, 128> MakeVarnexFsDummyNode()
{
    std::array<uint8_t, 128> node{};
    node.fill(0xFF);
    std::fill(node.begin(), node.begin() + 16, 0);
    node[6] = 0x80;
    node[8] = VarnexFsNodeChecksum(node);
    return node;
}

std::vector<uint8_t> CVarnexStoreBuilder::BuildFileSystem() const
{
    struct File
    {
        std::vector<uint8_t> bytes;
        uint8_t attribute;
        bool badChecksum = false;
    };
    std::vector<File> readOnly{{DirectoryBytes(), 0}};
    std::vector<File> readWrite;
    for (const Object& object : m_objects)
    {
        const uint8_t attribute = object.attribute == 0xFF ? 0 : object.attribute;
        ((attribute & 1) ? readWrite : readOnly)
            .push_back({Bytes(object), object.attribute, object.badChecksum});
    }
    auto appendFile = [](std::vector<uint8_t>& image, const File& file)
    {
        const uint8_t attribute = file.attribute == 0xFF ? 0 : file.attribute;
        const uint8_t flags = static_cast<uint8_t>(0x02 | ((attribute & 1) ? 0x04 : 0) |
                                                   ((attribute & 2) ? 0x08 : 0));
        const std::string tag(file.bytes.begin(), file.bytes.begin() + 3);
        for (size_t at = 0; at < file.bytes.size(); at += 112)
        {
            const size_t n = std::min<size_t>(112, file.bytes.size() - at);
            const auto node = MakeVarnexFsNode(flags, tag, static_cast<uint16_t>(at),
                                               std::span(file.bytes).subspan(at, n), 0,
                                               file.badChecksum && at == 0);
            image.insert(image.end(), node.begin(), node.end());
        }
    };
    std::vector<uint8_t> image = MakeVarnexFsSuperblock(m_fileSystemVersion, 0);
    for (const File& file : readOnly)
    {
        appendFile(image, file);
    }
    while (image.size() % 4096 != 0)
    {
        const auto dummy = MakeVarnexFsDummyNode();
        image.insert(image.end(), dummy.begin(), dummy.end());
    }
    for (const File& file : readWrite)
    {
        appendFile(image, file);
    }
    const uint32_t total = readWrite.empty() ? 20480 : 32768;
    if (image.size() > total - 2)
    {
        throw std::invalid_argument("the objects do not fit in a Varnex file system");
    }
    PutLe(image, 8, total, 4);
    image.resize(total, 0xFF);
    return image;
}

} // namespace testkit
