#pragma once
// The adapter session's object: the session and, in one, the guarded EEPROM
// it hands out (holding the EEPROM keeps the session, and with it the
// adapter's lock, open).

#include "flasher/AdapterSession.h"

#include <functional>
#include <optional>
#include <vector>

class CAdapterSessionImpl : public CReferenceCountImpl, public IAdapterSession, public IEEPROM
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // `onClose` runs when the last holder lets go, after the adapter's lock
    // is given back.
    CAdapterSessionImpl(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                        CRefPtr<IUpdateJournal> journal, const EngineSettings& settings,
                        bool announcePending, std::function<void()> onClose);
    ~CAdapterSessionImpl() override;
    CAdapterSessionImpl(const CAdapterSessionImpl&) = delete;
    CAdapterSessionImpl& operator=(const CAdapterSessionImpl&) = delete;

    // IAdapterSession.
    CRefPtr<IDisplayAdapter> Adapter() override { return m_adapter; }
    CRefPtr<IEEPROM> EEPROM() override { return CRefPtr<IEEPROM>(static_cast<IEEPROM*>(this)); }
    std::optional<UpdateWriteKind> PendingWrite() override;
    void Use(AdapterUse use, IUserInterface& ui, CLog* log) override;
    void BeginWrite(UpdateWriteKind kind, std::span<const uint8_t> target, IUserInterface& ui,
                    CLog* log) override;
    void FinishWrite() override;
    void AllowDestructiveWrites(IUserInterface& ui, CLog* log) override;
    void RunConsoleIfAsked(const std::string& message) override;

    std::vector<uint8_t> ContentBefore(CLog* log) override;
    // The EEPROM driver itself.
    CRefPtr<IEEPROM> Driver() { return m_eeprom; }

    // IEEPROM: reads served from a pending record's content before while it
    // stands in; writes only under the contract.
    bool Identify(IEEPROMDatabase* database, CLog& log) override
    {
        return m_eeprom->Identify(database, log);
    }
    std::ostream& Describe(std::ostream& out) override { return m_eeprom->Describe(out); }
    const CEEPROMType& GetType() override { return m_eeprom->GetType(); }
    uint32_t WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image, int32_t imageOffset,
                        uint32_t count, bool eraseAware, bool reserved, CLog& log) override;
    uint32_t Read(IUserInterface* ui, uint32_t address, uint32_t count, int32_t imageOffset,
                  IROMImage* destination, CLog& log) override;
    CRefPtr<IROMImage> ReadImage(IUserInterface* ui, uint32_t count, CLog& log) override;
    CRefPtr<IROMImage> ReadImageCopy(IUserInterface* ui, uint32_t count, CLog& log) override;
    void EraseChip(IUserInterface* ui, CLog& log) override;
    uint32_t ErasePages(IUserInterface* ui, uint32_t address, uint32_t count, bool showProgress,
                        CLog& log) override;
    void SetProtection(bool lock, CLog& log) override;
    bool IsSecure() override { return m_eeprom->IsSecure(); }
    void SetLoader(CKestrixLoader* loader) override { m_eeprom->SetLoader(loader); }
    CKestrixLoader* GetLoader() override { return m_eeprom->GetLoader(); }
    void RunConsole() override { m_eeprom->RunConsole(); }
    void RunConsoleWithMessage(const std::string& message) override
    {
        m_eeprom->RunConsoleWithMessage(message);
    }
    uint32_t VerifyImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                         CRefPtr<IBCRTCert> certificate, CLog& log, bool console) override
    {
        return m_eeprom->VerifyImage(adapter, image, certificate, log, console);
    }
    void SetSoftwareVerdict(IROMImage* accepted) override
    {
        m_eeprom->SetSoftwareVerdict(accepted);
    }

private:
    void PeekForReading(AdapterUse use, IUserInterface& ui, CLog* log);
    // What the chip holds now: the last whole read before any write, or a
    // new read.
    std::vector<uint8_t> ChipContent(CLog* log);
    // Checks the pending record against the chip (refused and kept when it
    // does not explain it) and, when this write aims elsewhere, writes its
    // content before back. Returns the content before of this write's record,
    // empty when this write finishes the pending one.
    std::vector<uint8_t> SettlePendingRecord(UpdateWriteKind kind,
                                             const std::vector<uint8_t>& target,
                                             IUserInterface& ui, CLog* log);
    void WriteBack(const std::vector<uint8_t>& before, CLog* log);
    void CheckWriteAllowed() const;

    CRefPtr<IDisplayAdapter> m_adapter;
    CRefPtr<IEEPROM> m_eeprom;
    CRefPtr<IUpdateJournal> m_journal;
    bool m_wiuConsole;
    bool m_announcePending;
    std::function<void()> m_onClose;
    bool m_claimed = false;
    bool m_peekDone = false;
    bool m_destroys = false;
    bool m_writing = false;
    // The pending record, and whether its content before still stands in
    // for the chip (until the first write).
    std::optional<UpdateRecord> m_pending;
    bool m_standsIn = false;
    std::optional<UpdateWriteKind> m_peeked;
    std::optional<std::vector<uint8_t>> m_chipSeen;
};

// The session behind an EEPROM the engine was handed, or null for an EEPROM
// no session guards.
CAdapterSessionImpl* SessionOf(IEEPROM* eeprom);
