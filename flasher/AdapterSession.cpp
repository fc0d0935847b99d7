// The adapter session: the guarded EEPROM every operation works through, the
// update record's claim and the write contract (see AdapterSession.h).

#include "flasher/AdapterSessionImpl.h"

#include "core/Exceptions.h"
#include "flasher/UpdateJournal.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
// A program's command line may lack an option the engine knows: it is then
// not set.
bool IsSetOn(ICommandLine& line, const char* name)
{
    try
    {
        return line.IsSet(name);
    }
    catch (const std::runtime_error&)
    {
        return false;
    }
}

std::optional<std::string> ValueOn(ICommandLine& line, const char* name)
{
    if (!IsSetOn(line, name))
    {
        return std::nullopt;
    }
    return line.GetValue(name, 0, 0);
}

// The unit a part is written in: its erase block, or its page when it
// programs without erasing.
uint32_t WriteUnitOf(const CEEPROMType& type)
{
    if (type.EraseReqBeforeChipSectorWrite && type.KbytesPerBlock != 0)
    {
        return type.KbytesPerBlock * 1024u;
    }
    return type.BytesPerPage != 0 ? type.BytesPerPage : 1u;
}

std::vector<uint8_t> BytesOf(IROMImage& image, uint32_t length)
{
    COffsetModeScope off(&image, false);
    const uint8_t* bytes = IROMImage::ReadOnlyBuffer(&image);
    std::vector<uint8_t> out(length, 0xFF);
    std::copy_n(bytes, std::min(length, image.GetLoadedSize()), out.begin());
    return out;
}

CRefPtr<IROMImage> ImageOf(std::span<const uint8_t> bytes, uint32_t count)
{
    std::vector<uint8_t> cut(count, 0xFF);
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), count), cut.begin());
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(cut.data(), count);
    image->Parse();
    return image;
}
} // namespace

EngineSettings EngineSettings::FromCommandLine(ICommandLine& line)
{
    EngineSettings settings;
    settings.retries = IsSetOn(line, "noretries") ? 1 : 3;
    settings.manualRead = IsSetOn(line, "manualread");
    settings.noKestrix = IsSetOn(line, "nokestrix");
    settings.autoConfirm = IsSetOn(line, "auto");
    settings.diffsOnly = IsSetOn(line, "diffsonly");
    settings.wiuConsole = IsSetOn(line, "wiuconsole");
    settings.keepDisplayDriver = IsSetOn(line, "offswdriver");
    settings.mergeVarnex = IsSetOn(line, "mergevarnex");
    settings.relaxDeviceId = IsSetOn(line, "relaxdevid");
    if (const std::optional<std::string> alt = ValueOn(line, "altdevid"); alt && !alt->empty())
    {
        settings.altDeviceId = static_cast<uint16_t>(line.GetValueDec("altdevid", 0, 0));
    }
    settings.ifrOnly = IsSetOn(line, "ifronly");
    settings.verify = IsSetOn(line, "verify");
    settings.romIn = ValueOn(line, "romin");
    settings.romOut = ValueOn(line, "romout");
    return settings;
}

std::vector<uint8_t> ContentWith(std::span<const uint8_t> before, uint32_t address,
                                 std::span<const uint8_t> written)
{
    std::vector<uint8_t> after(before.begin(), before.end());
    if (address < after.size())
    {
        const size_t count = std::min(written.size(), after.size() - address);
        std::copy_n(written.begin(), count, after.begin() + address);
    }
    return after;
}

CAdapterSessionImpl::CAdapterSessionImpl(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                         CRefPtr<IUpdateJournal> journal,
                                         const EngineSettings& settings, bool announcePending,
                                         std::function<void()> onClose)
    : m_adapter(std::move(adapter)), m_eeprom(std::move(eeprom)), m_journal(std::move(journal)),
      m_wiuConsole(settings.wiuConsole), m_announcePending(announcePending),
      m_onClose(std::move(onClose))
{
}

CAdapterSessionImpl::~CAdapterSessionImpl()
{
    if (m_claimed && m_journal)
    {
        m_journal->ReleaseAdapter(m_adapter);
    }
    if (m_onClose)
    {
        m_onClose();
    }
}

std::optional<UpdateWriteKind> CAdapterSessionImpl::PendingWrite()
{
    if (m_pending && m_standsIn)
    {
        return m_pending->kind;
    }
    return m_peeked;
}

void CAdapterSessionImpl::Use(AdapterUse use, IUserInterface& ui, CLog* log)
{
    if (use == AdapterUse::Reads || use == AdapterUse::Saves)
    {
        PeekForReading(use, ui, log);
        return;
    }
    if (use == AdapterUse::Destroys)
    {
        m_destroys = true;
    }
    if (m_claimed || !m_journal)
    {
        return;
    }
    if (use == AdapterUse::Destroys)
    {
        m_journal->Claim(m_adapter);
        m_claimed = true;
        return;
    }
    const bool announced = m_pending && m_standsIn;
    m_pending = m_journal->PendingRecord(m_adapter);
    m_claimed = true;
    m_peeked.reset();
    if (!m_pending)
    {
        m_standsIn = false;
        return;
    }
    m_standsIn = true;
    LogLine(log, 3, "Taking the board's data from the content saved by an unfinished update.");
    if (m_announcePending && !announced)
    {
        ui.ShowMessage(3, "The last update of this display adapter did not finish; it will be "
                          "updated again from the firmware it held before.");
    }
}

void CAdapterSessionImpl::PeekForReading(AdapterUse use, IUserInterface& ui, CLog* log)
{
    if (m_claimed || m_peekDone || !m_journal)
    {
        return;
    }
    m_peekDone = true;
    std::optional<UpdateRecord> record;
    try
    {
        record = m_journal->PeekRecord(m_adapter);
    }
    catch (const std::exception& error)
    {
        // A command that only reads goes on without the check.
        LogLine(log, 4, error.what());
        return;
    }
    if (!record)
    {
        return;
    }
    m_peeked = record->kind;
    std::string note;
    if (use == AdapterUse::Saves)
    {
        m_pending = record;
        m_standsIn = true;
        LogLine(log, 3, "Taking the board's data from the content saved by an unfinished update.");
        note = std::string("The last update of this display adapter (") +
               UpdateWriteKindName(record->kind) +
               ") did not finish; the firmware it held before is read in place of the chip, and " +
               UpdateWriteKindFinisher(record->kind) + " finishes it.";
    }
    else
    {
        note = std::string("This display adapter has an unfinished update (") +
               UpdateWriteKindName(record->kind) + "): " + UpdateWriteKindFinisher(record->kind) +
               " finishes it. Nothing is written now.";
    }
    LogLine(log, 4, "NOTE: " + note);
    if (m_announcePending)
    {
        ui.ShowMessage(3, note);
    }
}

std::vector<uint8_t> CAdapterSessionImpl::ChipContent(CLog* log)
{
    if (m_chipSeen)
    {
        return *m_chipSeen;
    }
    const uint32_t partSize = m_eeprom->GetType().GetSizeInBytes();
    CLogOrDiscard out(log);
    CRefPtr<IROMImage> read = m_eeprom->ReadImage(nullptr, partSize, *out);
    return BytesOf(*read, partSize);
}

std::vector<uint8_t> CAdapterSessionImpl::ContentBefore(CLog* log)
{
    if (m_pending && m_standsIn)
    {
        std::vector<uint8_t> before = m_pending->before;
        before.resize(m_eeprom->GetType().GetSizeInBytes(), 0xFF);
        return before;
    }
    return ChipContent(log);
}

void CAdapterSessionImpl::BeginWrite(UpdateWriteKind kind, std::span<const uint8_t> target,
                                     IUserInterface& ui, CLog* log)
{
    m_writing = true;
    if (!m_journal || m_destroys)
    {
        return;
    }
    if (!m_claimed)
    {
        Use(AdapterUse::Writes, ui, log);
    }
    const std::vector<uint8_t> wanted(target.begin(), target.end());
    std::vector<uint8_t> before;
    if (m_pending && m_standsIn)
    {
        before = SettlePendingRecord(kind, wanted, ui, log);
    }
    else
    {
        before = ChipContent(log);
    }
    m_journal->BeginRecord(m_adapter, UpdateRecord{kind, std::move(before), wanted});
}

std::vector<uint8_t> CAdapterSessionImpl::SettlePendingRecord(UpdateWriteKind kind,
                                                              const std::vector<uint8_t>& target,
                                                              IUserInterface& ui, CLog* log)
{
    m_standsIn = false;
    m_chipSeen.reset();
    const UpdateRecord pending = *m_pending;
    const uint32_t partSize = m_eeprom->GetType().GetSizeInBytes();
    std::vector<uint8_t> before = pending.before;
    before.resize(partSize, 0xFF);
    // A record of the first format names no target: it was a whole-image
    // write, which this write finishes when it is one too.
    std::optional<std::vector<uint8_t>> recordTarget = pending.target;
    if (!recordTarget && pending.kind == UpdateWriteKind::Flash && kind == UpdateWriteKind::Flash)
    {
        recordTarget = target;
    }
    if (recordTarget)
    {
        recordTarget->resize(partSize, 0xFF);
    }
    const std::vector<uint8_t> chip = ChipContent(log);
    if (!UpdateRecordExplainsChip(chip, before,
                                  recordTarget ? std::span<const uint8_t>(*recordTarget)
                                               : std::span<const uint8_t>(),
                                  WriteUnitOf(m_eeprom->GetType())))
    {
        m_journal->Refuse(m_adapter, "it does not match this adapter's EEPROM");
    }
    m_pending.reset();
    if (recordTarget && *recordTarget == target)
    {
        // This write finishes the stopped one: the same content before and
        // target.
        return before;
    }
    WriteBack(before, log);
    const std::string text = std::string("NOTE: The unfinished update of this display adapter (") +
                             UpdateWriteKindName(pending.kind) +
                             ") was undone: the firmware it held before is written back.";
    ui.ShowMessage(1, text);
    LogLine(log, 3, text);
    return before;
}

void CAdapterSessionImpl::WriteBack(const std::vector<uint8_t>& before, CLog* log)
{
    CLogOrDiscard out(log);
    const uint32_t size = static_cast<uint32_t>(before.size());
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(before.data(), size);
    image->SetOffsetMode(false);
    if (m_eeprom->WriteImage(nullptr, 0, image.get(), 0, size, true, true, *out) < size)
    {
        throw std::runtime_error("Full image not programmed");
    }
    CRefPtr<IROMImage> readBack = m_eeprom->ReadImage(nullptr, size, *out);
    readBack->SetOffsetMode(false);
    const int32_t mismatch = image->CompareRange(readBack.get(), 0, size);
    if (mismatch != -1)
    {
        throw std::runtime_error("Writing back the firmware an unfinished update replaced "
                                 "failed: mismatch at offset 0x" +
                                 std::to_string(mismatch));
    }
}

void CAdapterSessionImpl::FinishWrite()
{
    if (!m_writing)
    {
        return;
    }
    m_writing = false;
    m_chipSeen.reset();
    if (m_journal && m_claimed && !m_destroys)
    {
        m_journal->Finish(m_adapter);
    }
}

void CAdapterSessionImpl::AllowDestructiveWrites(IUserInterface& ui, CLog* log)
{
    Use(AdapterUse::Destroys, ui, log);
}

void CAdapterSessionImpl::RunConsoleIfAsked(const std::string& message)
{
    const bool claimed = m_claimed || !m_journal;
    if (m_wiuConsole && claimed && m_eeprom->IsSecure())
    {
        m_eeprom->RunConsoleWithMessage(message);
    }
}

void CAdapterSessionImpl::CheckWriteAllowed() const
{
    if (!m_writing && !m_destroys)
    {
        throw std::logic_error("EEPROM write outside a recorded write");
    }
}

uint32_t CAdapterSessionImpl::WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image,
                                         int32_t imageOffset, uint32_t count, bool eraseAware,
                                         bool reserved, CLog& log)
{
    CheckWriteAllowed();
    m_chipSeen.reset();
    return m_eeprom->WriteImage(ui, address, image, imageOffset, count, eraseAware, reserved, log);
}

uint32_t CAdapterSessionImpl::Read(IUserInterface* ui, uint32_t address, uint32_t count,
                                   int32_t imageOffset, IROMImage* destination, CLog& log)
{
    if (!(m_pending && m_standsIn))
    {
        return m_eeprom->Read(ui, address, count, imageOffset, destination, log);
    }
    const std::vector<uint8_t>& before = m_pending->before;
    if (address >= before.size())
    {
        return 0;
    }
    count = static_cast<uint32_t>(std::min<size_t>(count, before.size() - address));
    COffsetModeScope off(destination, false);
    destination->WriteBlock(before.data() + address, imageOffset, count);
    return count;
}

CRefPtr<IROMImage> CAdapterSessionImpl::ReadImage(IUserInterface* ui, uint32_t count, CLog& log)
{
    if (m_pending && m_standsIn)
    {
        const uint32_t partSize = m_eeprom->GetType().GetSizeInBytes();
        return ImageOf(m_pending->before, std::min({count, partSize, kImageBufferSize}));
    }
    CRefPtr<IROMImage> image = m_eeprom->ReadImage(ui, count, log);
    const uint32_t partSize = m_eeprom->GetType().GetSizeInBytes();
    // Until the first write, a whole read is what the chip holds before it.
    if (!m_writing && partSize != 0 && image->GetLoadedSize() >= partSize)
    {
        m_chipSeen = BytesOf(*image, partSize);
    }
    return image;
}

CRefPtr<IROMImage> CAdapterSessionImpl::ReadImageCopy(IUserInterface* ui, uint32_t count,
                                                      CLog& log)
{
    if (m_pending && m_standsIn)
    {
        return ImageOf(m_pending->before, count);
    }
    return m_eeprom->ReadImageCopy(ui, count, log);
}

void CAdapterSessionImpl::EraseChip(IUserInterface* ui, CLog& log)
{
    CheckWriteAllowed();
    m_chipSeen.reset();
    m_eeprom->EraseChip(ui, log);
}

uint32_t CAdapterSessionImpl::ErasePages(IUserInterface* ui, uint32_t address, uint32_t count,
                                         bool showProgress, CLog& log)
{
    CheckWriteAllowed();
    m_chipSeen.reset();
    return m_eeprom->ErasePages(ui, address, count, showProgress, log);
}

void CAdapterSessionImpl::SetProtection(bool lock, CLog& log)
{
    CheckWriteAllowed();
    m_eeprom->SetProtection(lock, log);
}

CAdapterSessionImpl* SessionOf(IEEPROM* eeprom)
{
    return dynamic_cast<CAdapterSessionImpl*>(eeprom);
}
