#include "flasher/UpdateJournal.h"

#include "common/core/crypto/digitalsignature/Digests.h"
#include "core/ByteOrder.h"
#include "core/Exceptions.h"
#include "core/StateFolder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <stdexcept>
#include <sys/file.h>
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

uint32_t RecordVersionOf(std::span<const uint8_t> bytes)
{
    return LoadLE32(&bytes[kRecordVersionAt]);
}

std::string CheckRecordVersion(std::span<const uint8_t> bytes)
{
    const uint32_t version = RecordVersionOf(bytes);
    return version == kUpdateRecordVersion || version == kUpdateRecordFirstVersion
               ? ""
               : "its format version is not known";
}

// The fields of a format-2 payload: kind, length before, length of the
// target, then the two contents.
constexpr size_t kPayloadKindAt = 0;
constexpr size_t kPayloadBeforeLengthAt = 4;
constexpr size_t kPayloadTargetLengthAt = 8;
constexpr size_t kPayloadContentAt = 12;

// The record a whole, checked payload holds, or the reason it cannot be used.
UpdateRecordReading ReadPayload(uint32_t version, std::span<const uint8_t> payload)
{
    if (version == kUpdateRecordFirstVersion)
    {
        return {UpdateRecord{UpdateWriteKind::Flash,
                             std::vector<uint8_t>(payload.begin(), payload.end()), std::nullopt},
                ""};
    }
    if (payload.size() < kPayloadContentAt)
    {
        return {std::nullopt, "it is truncated"};
    }
    const uint32_t kind = LoadLE32(&payload[kPayloadKindAt]);
    const uint64_t beforeLength = LoadLE32(&payload[kPayloadBeforeLengthAt]);
    const uint64_t targetLength = LoadLE32(&payload[kPayloadTargetLengthAt]);
    if (kind == 0 || kind > kMostUpdateWriteKind)
    {
        return {std::nullopt, "its kind of write is not known"};
    }
    if (beforeLength == 0 || (targetLength != 0 && targetLength != beforeLength) ||
        kPayloadContentAt + beforeLength + targetLength != payload.size())
    {
        return {std::nullopt, "its contents do not add up"};
    }
    UpdateRecord record;
    record.kind = static_cast<UpdateWriteKind>(kind);
    const auto before = payload.subspan(kPayloadContentAt, beforeLength);
    record.before.assign(before.begin(), before.end());
    if (targetLength != 0)
    {
        const auto target = payload.subspan(kPayloadContentAt + beforeLength);
        record.target.emplace(target.begin(), target.end());
    }
    return {std::move(record), ""};
}

std::string CheckRecordLength(std::span<const uint8_t> bytes)
{
    const uint32_t length = LoadLE32(&bytes[kRecordLengthAt]);
    const size_t left = bytes.size() - kUpdateRecordHeaderSize;
    if (length > kUpdateRecordMostPayload)
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

// A new file beside the record under a name no one holds, created
// exclusively: a file or link planted under a temporary name is never written
// through.
int CreateTemporaryBeside(const std::filesystem::path& path, std::filesystem::path& temporary)
{
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        temporary = path.string() + ".tmp." + std::to_string(::getpid()) + "." +
                    std::to_string(random());
        const int fd = ::open(temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
        {
            return fd;
        }
    }
    return -1;
}

// A temporary file in the record's folder, synced, then renamed over the
// record, then the folder synced: the record is either the old one or the
// new one whole. A temporary file that could not be completed is removed.
void WriteRecordDurably(const std::filesystem::path& path, std::span<const uint8_t> bytes)
{
    const std::string failure = "Cannot write the update record " + path.string() + ": ";
    std::filesystem::path temporary;
    CRecordFileDescriptor fd(CreateTemporaryBeside(path, temporary));
    if (fd.Get() < 0)
    {
        throw io_error(failure + ErrnoText());
    }
    try
    {
        WriteAllOrThrow(fd.Get(), bytes, failure);
        if (::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0 ||
            ::rename(temporary.c_str(), path.c_str()) != 0)
        {
            throw io_error(failure + ErrnoText());
        }
    }
    catch (...)
    {
        ::unlink(temporary.c_str());
        throw;
    }
    if (!SyncRecordFolder(path.parent_path()))
    {
        throw io_error(failure + ErrnoText());
    }
}

// True when the entry exists, links included.
bool EntryExists(const std::filesystem::path& path)
{
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

std::filesystem::path LockPathOf(const std::filesystem::path& record)
{
    std::filesystem::path lock = record;
    return lock.replace_extension(".lock");
}

// The bytes of a record file opened without following a link, read up to one
// byte past the largest record so a file that is too long shows without
// reading all of it. Returns the reason it cannot be read, empty when read.
// O_NONBLOCK: a FIFO in the record's place must not hold the run in open.
std::string ReadRecordBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes)
{
    CRecordFileDescriptor fd(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
    {
        return errno == ELOOP ? "it is a link" : "it cannot be read";
    }
    struct stat info{};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    {
        return "it is not a file";
    }
    bytes.resize(static_cast<size_t>(std::min<uintmax_t>(
        static_cast<uintmax_t>(info.st_size), kUpdateRecordHeaderSize + kUpdateRecordMostPayload + 1)));
    size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t got = ::read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return "it cannot be read";
        }
        if (got == 0)
        {
            break;
        }
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return "";
}

[[noreturn]] void ThrowRefusal(const std::filesystem::path& path, const std::string& reason)
{
    throw std::runtime_error("The update record " + path.string() + " cannot be used: " + reason +
                             ". The display adapter is not updated; the record is kept.");
}
} // namespace

namespace
{
std::vector<uint8_t> EncodeRecordFile(const UpdateRecordOwner& owner, uint32_t version,
                                      std::span<const uint8_t> content)
{
    std::vector<uint8_t> out(kUpdateRecordMagic.begin(), kUpdateRecordMagic.end());
    out.reserve(kUpdateRecordHeaderSize + content.size());
    AppendRecordLE(out, version, 4);
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
} // namespace

std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        std::span<const uint8_t> content)
{
    return EncodeRecordFile(owner, kUpdateRecordFirstVersion, content);
}

std::vector<uint8_t> EncodeUpdateRecord(const UpdateRecordOwner& owner,
                                        const UpdateRecord& record)
{
    const size_t targetLength = record.target ? record.target->size() : 0;
    std::vector<uint8_t> payload;
    payload.reserve(kPayloadContentAt + record.before.size() + targetLength);
    AppendRecordLE(payload, static_cast<uint32_t>(record.kind), 4);
    AppendRecordLE(payload, static_cast<uint32_t>(record.before.size()), 4);
    AppendRecordLE(payload, static_cast<uint32_t>(targetLength), 4);
    payload.insert(payload.end(), record.before.begin(), record.before.end());
    if (record.target)
    {
        payload.insert(payload.end(), record.target->begin(), record.target->end());
    }
    return EncodeRecordFile(owner, kUpdateRecordVersion, payload);
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
    return ReadPayload(RecordVersionOf(bytes), bytes.subspan(kUpdateRecordHeaderSize));
}

namespace
{
// Programming only clears bits: a block on its way to `wanted` has no bit
// clear that `wanted` keeps set.
bool TowardContent(std::span<const uint8_t> block, std::span<const uint8_t> wanted)
{
    for (size_t i = 0; i < block.size(); ++i)
    {
        if ((wanted[i] & static_cast<uint8_t>(~block[i])) != 0)
        {
            return false;
        }
    }
    return true;
}

// A block on its way back to `before` after an undone write: erased, then
// programmed from its start, so it holds `before` up to one byte on its way
// to it, and is erased after that.
bool BackInOrder(std::span<const uint8_t> block, std::span<const uint8_t> before)
{
    const auto differs = std::mismatch(block.begin(), block.end(), before.begin());
    if (differs.first == block.end())
    {
        return true;
    }
    if ((*differs.second & static_cast<uint8_t>(~*differs.first)) != 0)
    {
        return false;
    }
    return std::all_of(differs.first + 1, block.end(), [](uint8_t byte) { return byte == 0xFF; });
}
} // namespace

bool UpdateRecordExplainsChip(std::span<const uint8_t> chip, std::span<const uint8_t> before,
                              std::span<const uint8_t> after, uint32_t blockSize)
{
    const bool targetKnown = !after.empty();
    if (chip.size() != before.size() || (targetKnown && chip.size() != after.size()) ||
        blockSize == 0)
    {
        return false;
    }
    for (size_t start = 0; start < chip.size(); start += blockSize)
    {
        const size_t length = std::min<size_t>(blockSize, chip.size() - start);
        const auto block = chip.subspan(start, length);
        const auto old = before.subspan(start, length);
        if (BackInOrder(block, old))
        {
            continue; // the content before, or on its way back to it
        }
        if (!targetKnown || !TowardContent(block, after.subspan(start, length)))
        {
            return false;
        }
    }
    return true;
}

CUpdateJournalImpl::CUpdateJournalImpl(std::filesystem::path directory)
    : m_directory(std::move(directory))
{
    CheckStateFolder(m_directory);
}

CUpdateJournalImpl::~CUpdateJournalImpl()
{
    for (const auto& [record, fd] : m_locks)
    {
        ::close(fd);
    }
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
    std::vector<uint8_t> bytes;
    if (std::string refusal = ReadRecordBytes(path, bytes); !refusal.empty())
    {
        return {std::nullopt, std::move(refusal)};
    }
    return DecodeUpdateRecord(bytes, owner);
}

void CUpdateJournalImpl::ClaimPath(const std::filesystem::path& record)
{
    if (m_locks.contains(record.string()))
    {
        return;
    }
    const std::filesystem::path lock = LockPathOf(record);
    CRecordFileDescriptor fd(
        ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0)
    {
        throw io_error("Cannot open the lock file " + lock.string() + ": " + ErrnoText());
    }
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
    {
        if (errno == EWOULDBLOCK)
        {
            throw std::runtime_error("Another run is updating this display adapter (it holds " +
                                     lock.string() + "). The display adapter is not updated.");
        }
        if (errno != EINTR)
        {
            throw io_error("Cannot lock the file " + lock.string() + ": " + ErrnoText());
        }
    }
    m_locks.emplace(record.string(), fd.Release());
}

void CUpdateJournalImpl::ReleasePath(const std::filesystem::path& record)
{
    // The lock file stays: removing it would let a run that opened it just
    // before hold a lock on a file the next run no longer sees.
    if (const auto found = m_locks.find(record.string()); found != m_locks.end())
    {
        ::close(found->second);
        m_locks.erase(found);
    }
}

void CUpdateJournalImpl::Claim(CRefPtr<IDisplayAdapter> adapter)
{
    ClaimPath(RecordPath(adapter));
}

void CUpdateJournalImpl::ReleaseAdapter(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    m_readings.erase(path.string());
    ReleasePath(path);
}

std::optional<UpdateRecord> CUpdateJournalImpl::PendingRecord(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    ClaimPath(path);
    auto known = m_readings.find(path.string());
    if (known == m_readings.end())
    {
        UpdateRecordReading reading;
        if (EntryExists(path))
        {
            reading = ReadRecord(path, OwnerOf(adapter));
        }
        known = m_readings.emplace(path.string(), std::move(reading)).first;
    }
    if (!known->second.refusal.empty())
    {
        ThrowRefusal(path, known->second.refusal);
    }
    return known->second.record;
}

std::optional<std::vector<uint8_t>>
CUpdateJournalImpl::PendingContent(CRefPtr<IDisplayAdapter> adapter)
{
    std::optional<UpdateRecord> record = PendingRecord(adapter);
    if (!record)
    {
        return std::nullopt;
    }
    return std::move(record->before);
}

std::optional<UpdateRecord> CUpdateJournalImpl::PeekRecord(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    if (const auto known = m_readings.find(path.string()); known != m_readings.end())
    {
        return known->second.record;
    }
    if (!EntryExists(path))
    {
        return std::nullopt;
    }
    return ReadRecord(path, OwnerOf(adapter)).record;
}

void CUpdateJournalImpl::Refuse(CRefPtr<IDisplayAdapter> adapter, const std::string& reason)
{
    ThrowRefusal(RecordPath(adapter), reason);
}

void CUpdateJournalImpl::MoveRefusedRecordAside(const std::filesystem::path& path,
                                                const UpdateRecordOwner& owner) const
{
    if (!EntryExists(path) || ReadRecord(path, owner).record)
    {
        return;
    }
    std::filesystem::path aside = path.string() + ".refused";
    for (int number = 1; EntryExists(aside); ++number)
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
    BeginRecord(adapter, UpdateRecord{UpdateWriteKind::Flash,
                                      std::vector<uint8_t>(content.begin(), content.end()),
                                      std::nullopt});
}

void CUpdateJournalImpl::BeginRecord(CRefPtr<IDisplayAdapter> adapter, const UpdateRecord& record)
{
    const std::filesystem::path path = RecordPath(adapter);
    if (record.before.empty() || record.before.size() > kUpdateRecordMostContent ||
        (record.target && record.target->size() != record.before.size()))
    {
        throw io_error("Cannot write the update record " + path.string() +
                       ": the content does not fit a record");
    }
    ClaimPath(path);
    const UpdateRecordOwner owner = OwnerOf(adapter);
    MoveRefusedRecordAside(path, owner);
    m_readings.erase(path.string());
    WriteRecordDurably(path, EncodeUpdateRecord(owner, record));
    m_readings[path.string()] = {record, ""};
}

void CUpdateJournalImpl::Finish(CRefPtr<IDisplayAdapter> adapter)
{
    const std::filesystem::path path = RecordPath(adapter);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    {
        throw io_error("Cannot remove the update record " + path.string() + ": " + ErrnoText());
    }
    // Nothing is pending any more; the adapter stays this run's until Release.
    m_readings[path.string()] = {};
    // A removal lost to a power cut only repeats the update on the next run.
    SyncRecordFolder(m_directory);
}

const char* UpdateWriteKindName(UpdateWriteKind kind)
{
    switch (kind)
    {
    case UpdateWriteKind::Flash:
        return "a firmware update";
    case UpdateWriteKind::UEFI:
        return "a UEFI driver update";
    case UpdateWriteKind::Field:
        return "a change of straps, GUID or TV block";
    case UpdateWriteKind::Delete:
        return "a Vbios deletion";
    case UpdateWriteKind::Varnex:
        return "a write of the Varnex store";
    case UpdateWriteKind::Tuning:
        return "a tuning of the preservation data";
    }
    return "an update";
}

const char* UpdateWriteKindFinisher(UpdateWriteKind kind)
{
    switch (kind)
    {
    case UpdateWriteKind::Flash:
        return "the same update again (romuvise, or romvise with the same file)";
    case UpdateWriteKind::UEFI:
        return "romvise --updateuefi with the same file";
    case UpdateWriteKind::Field:
        return "the same romvise --straps, --guid, --guidsource or --tv command";
    case UpdateWriteKind::Delete:
        return "romvise --delete";
    case UpdateWriteKind::Varnex:
        return "the same romvise Varnex command";
    case UpdateWriteKind::Tuning:
        return "the same romvise --presregtune or --presdatatune command";
    }
    return "the same update";
}

void CUnusableUpdateJournal::Fail() const
{
    throw io_error(m_failure);
}
