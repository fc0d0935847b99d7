#include "flasher/UpdateJournal.h"

#include "common/core/crypto/digitalsignature/Digests.h"
#include "core/ByteOrder.h"
#include "core/Exceptions.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{
constexpr std::array<uint8_t, 8> kUpdateRecordMagic = {'R', 'V', 'U', 'P', 'D', 'R', 'E', 'C'};
constexpr size_t kRecordVersionAt = 8;
constexpr size_t kRecordSegmentAt = 12;
constexpr size_t kRecordBusAt = 14;
constexpr size_t kRecordDeviceAt = 15;
constexpr size_t kRecordFunctionAt = 16;
constexpr size_t kRecordVendorIdAt = 17;
constexpr size_t kRecordDeviceIdAt = 19;
constexpr size_t kRecordLengthAt = 21;
constexpr size_t kRecordHashAt = 25;
static_assert(kRecordHashAt + kSha256Size == kUpdateRecordHeaderSize);

void AppendRecordLE(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

std::array<uint8_t, kSha256Size> RecordHash(std::span<const uint8_t> content)
{
    std::array<uint8_t, kSha256Size> digest{};
    Sha256(content.data(), content.size(), digest.data());
    return digest;
}

// The reader's checks, each the reason for a refusal or empty when it passes.
// The header is known to be whole by the time the later ones run.
std::string CheckRecordHeaderPresent(std::span<const uint8_t> bytes)
{
    return bytes.size() < kUpdateRecordHeaderSize ? "it is truncated" : "";
}

std::string CheckRecordMagic(std::span<const uint8_t> bytes)
{
    return std::equal(kUpdateRecordMagic.begin(), kUpdateRecordMagic.end(), bytes.begin())
               ? ""
               : "it is not an update record";
}

std::string CheckRecordVersion(std::span<const uint8_t> bytes)
{
    return LoadLE32(&bytes[kRecordVersionAt]) == kUpdateRecordVersion
               ? ""
               : "its format version is not known";
}

std::string CheckRecordLength(std::span<const uint8_t> bytes)
{
    const uint32_t length = LoadLE32(&bytes[kRecordLengthAt]);
    const size_t left = bytes.size() - kUpdateRecordHeaderSize;
    if (length > kUpdateRecordMostContent)
    {
        return "its content length is too large";
    }
    if (length == 0)
    {
        return "it holds no content";
    }
    if (length > left)
    {
        return "it is truncated";
    }
    return length < left ? "it has bytes after its content" : "";
}

std::string CheckRecordLocation(std::span<const uint8_t> bytes, const UpdateRecordOwner& owner)
{
    const bool same = LoadLE16(&bytes[kRecordSegmentAt]) == owner.segment &&
                      bytes[kRecordBusAt] == owner.bus && bytes[kRecordDeviceAt] == owner.device &&
                      bytes[kRecordFunctionAt] == owner.function;
    return same ? "" : "it belongs to another adapter";
}

std::string CheckRecordIds(std::span<const uint8_t> bytes, const UpdateRecordOwner& owner)
{
    const bool same = LoadLE16(&bytes[kRecordVendorIdAt]) == owner.vendorId &&
                      LoadLE16(&bytes[kRecordDeviceIdAt]) == owner.deviceId;
    return same ? "" : "it belongs to another kind of adapter";
}

std::string CheckRecordHash(std::span<const uint8_t> bytes)
{
    const std::array<uint8_t, kSha256Size> digest =
        RecordHash(bytes.subspan(kUpdateRecordHeaderSize));
    return std::equal(digest.begin(), digest.end(), bytes.begin() + kRecordHashAt)
               ? ""
               : "its checksum does not match";
}

UpdateRecordOwner OwnerOf(CRefPtr<IDisplayAdapter> adapter)
{
    CRefPtr<IDevice> device = adapter->GetDevice();
    return {device->GetSegment(),  device->GetBus(),       device->GetDeviceNumber(),
            device->GetFunctionNumber(), adapter->GetVendorID(), adapter->GetDeviceID()};
}

std::string ErrnoText()
{
    return std::strerror(errno);
}

// Closes the descriptor on every way out.
class CRecordFileDescriptor
{
public:
    explicit CRecordFileDescriptor(int fd) : m_fd(fd) {}
    ~CRecordFileDescriptor()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    CRecordFileDescriptor(const CRecordFileDescriptor&) = delete;
    CRecordFileDescriptor& operator=(const CRecordFileDescriptor&) = delete;
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// Makes the folder's entries (a rename, a removal) durable.
bool SyncRecordFolder(const std::filesystem::path& folder)
{
    CRecordFileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Get() >= 0 && ::fsync(fd.Get()) == 0;
}

void WriteAllOrThrow(int fd, std::span<const uint8_t> bytes, const std::string& failure)
{
    while (!bytes.empty())
    {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written <= 0)
        {
            throw io_error(failure + ErrnoText());
        }
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
}

// A temporary file in the record's folder, synced, then renamed over the
// record, then the folder synced: the record is either the old one or the
// new one whole.
void WriteRecordDurably(const std::filesystem::path& path, std::span<const uint8_t> bytes)
{
    const std::string failure = "Cannot write the update record " + path.string() + ": ";
    const std::filesystem::path temporary = path.string() + ".tmp";
    CRecordFileDescriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.Get() < 0 || ::fchmod(fd.Get(), 0600) != 0)
    {
        throw io_error(failure + ErrnoText());
    }
    WriteAllOrThrow(fd.Get(), bytes, failure);
    if (::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0)
    {
        throw io_error(failure + ErrnoText());
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
    {
        throw io_error(failure + ErrnoText());
    }
    if (!SyncRecordFolder(path.parent_path()))
    {
        throw io_error(failure + ErrnoText());
    }
}
} // namespace

std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        std::span<const uint8_t> content)
{
    std::vector<uint8_t> out(kUpdateRecordMagic.begin(), kUpdateRecordMagic.end());
    out.reserve(kUpdateRecordHeaderSize + content.size());
    AppendRecordLE(out, kUpdateRecordVersion, 4);
    AppendRecordLE(out, owner.segment, 2);
    AppendRecordLE(out, owner.bus, 1);
    AppendRecordLE(out, owner.device, 1);
    AppendRecordLE(out, owner.function, 1);
    AppendRecordLE(out, owner.vendorId, 2);
    AppendRecordLE(out, owner.deviceId, 2);
    AppendRecordLE(out, static_cast<uint32_t>(content.size()), 4);
    const std::array<uint8_t, kSha256Size> digest = RecordHash(content);
    out.insert(out.end(), digest.begin(), digest.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

UpdateRecordReading DecodeUpdateRecord(std::span<const uint8_t> bytes,
                                       const UpdateRecordOwner& owner)
{
    for (const auto& check : std::initializer_list<std::function<std::string()>>{
             [&] { return CheckRecordHeaderPresent(bytes); },
             [&] { return CheckRecordMagic(bytes); },
             [&] { return CheckRecordVersion(bytes); },
             [&] { return CheckRecordLength(bytes); },
             [&] { return CheckRecordLocation(bytes, owner); },
             [&] { return CheckRecordIds(bytes, owner); },
             [&] { return CheckRecordHash(bytes); }})
    {
        if (std::string refusal = check(); !refusal.empty())
        {
            return {std::nullopt, std::move(refusal)};
        }
    }
    const std::span<const uint8_t> content = bytes.subspan(kUpdateRecordHeaderSize);
    return {std::vector<uint8_t>(content.begin(), content.end()), ""};
}

CUpdateJournalImpl::CUpdateJournalImpl(std::filesystem::path directory,
                                       std::function<void(const std::string&)> warn)
    : m_directory(std::move(directory)), m_warn(std::move(warn))
{
}

std::filesystem::path CUpdateJournalImpl::RecordPath(CRefPtr<IDisplayAdapter> adapter) const
{
    const UpdateRecordOwner owner = OwnerOf(adapter);
    char name[40];
    std::snprintf(name, sizeof name, "update-%04x-%02x-%02x.%x.rec", owner.segment, owner.bus,
                  owner.device, owner.function);
    return m_directory / name;
}

UpdateRecordReading CUpdateJournalImpl::ReadRecord(const std::filesystem::path& path,
                                                   const UpdateRecordOwner& owner) const
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        return {std::nullopt, "it cannot be read"};
    }
    // One byte more than the largest record shows a file that is too long
    // without reading all of it.
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error)
    {
        return {std::nullopt, "it cannot be read"};
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(
        std::min<uintmax_t>(size, kUpdateRecordHeaderSize + kUpdateRecordMostContent + 1)));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (file.bad())
    {
        return {std::nullopt, "it cannot be read"};
    }
    bytes.resize(static_cast<size_t>(file.gcount()));
    return DecodeUpdateRecord(bytes, owner);
}

std::optional<std::vector<uint8_t>>
CUpdateJournalImpl::PendingContent(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    std::error_code error;
    if (!std::filesystem::exists(path, error))
    {
        return std::nullopt;
    }
    UpdateRecordReading reading = ReadRecord(path, OwnerOf(adapter));
    if (!reading.content && m_warned.insert(path.string()).second && m_warn)
    {
        m_warn("WARNING: The update record " + path.string() + " cannot be used: " +
               reading.refusal + ". It is ignored.");
    }
    return std::move(reading.content);
}

void CUpdateJournalImpl::MoveRefusedRecordAside(const std::filesystem::path& path,
                                                const UpdateRecordOwner& owner) const
{
    std::error_code error;
    if (!std::filesystem::exists(path, error) || ReadRecord(path, owner).content)
    {
        return;
    }
    std::filesystem::path aside = path.string() + ".refused";
    for (int number = 1; std::filesystem::exists(aside, error); ++number)
    {
        aside = path.string() + ".refused." + std::to_string(number);
    }
    if (::rename(path.c_str(), aside.c_str()) != 0)
    {
        throw io_error("Cannot move the update record " + path.string() + " aside: " +
                       ErrnoText());
    }
}

void CUpdateJournalImpl::Begin(CRefPtr<IDisplayAdapter> adapter, std::span<const uint8_t> content)
{
    const std::filesystem::path path = RecordPath(adapter);
    if (content.empty() || content.size() > kUpdateRecordMostContent)
    {
        throw io_error("Cannot write the update record " + path.string() +
                       ": the content does not fit a record");
    }
    const UpdateRecordOwner owner = OwnerOf(adapter);
    MoveRefusedRecordAside(path, owner);
    WriteRecordDurably(path, EncodeUpdateRecord(owner, content));
}

void CUpdateJournalImpl::Finish(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    {
        throw io_error("Cannot remove the update record " + path.string() + ": " + ErrnoText());
    }
    // A removal lost to a power cut only repeats the update on the next run.
    SyncRecordFolder(m_directory);
}
