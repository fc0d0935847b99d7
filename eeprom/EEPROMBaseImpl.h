#pragma once
// What every EEPROM class shares: the identified part, the device, reading
// through the device's ROM window, the image-write algorithm and the read-back
// check of a programmed page, and the saving of the ROM-window decode
// registers around EEPROM access. The part-specific steps are the pure
// operations below.

#include "eeprom/IEEPROM.h"
#include "hw/adapter/IDisplayAdapter.h"

#include <exception>
#include <span>
#include <utility>
#include <vector>

// Opens the device's ROM access for a scope and restores it on every way out.
// With an adapter the access goes through the adapter, which also masks the
// registers its catalogue entry asks for while the EEPROM is open.
class CEEPROMEnabler
{
public:
    explicit CEEPROMEnabler(CRefPtr<IDevice> device, CRefPtr<IDisplayAdapter> adapter = nullptr);
    virtual ~CEEPROMEnabler();
    CEEPROMEnabler(const CEEPROMEnabler&) = delete;
    CEEPROMEnabler& operator=(const CEEPROMEnabler&) = delete;

    // Restores ROM access now instead of at the end of the scope.
    void Close();

private:
    static void LogRestoreFailure(const std::exception& error) noexcept;

    CRefPtr<IDevice> m_device;
    CRefPtr<IDisplayAdapter> m_adapter;
    bool m_active = false;
};

// Ends the progress line of one operation on every way out of a scope.
class CProgressScope
{
public:
    CProgressScope(IUserInterface* ui, int operation) : m_ui(ui), m_operation(operation) {}
    ~CProgressScope();
    CProgressScope(const CProgressScope&) = delete;
    CProgressScope& operator=(const CProgressScope&) = delete;

    void Show(int position, int end, int total);

private:
    IUserInterface* m_ui;
    int m_operation;
};

class CEEPROMBaseImpl : public CReferenceCountImpl, public IEEPROM
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // Reads go in chunks of this many bytes; a page is never longer.
    static constexpr uint32_t kReadChunk = 1024;
    static constexpr uint32_t kMaxPageSize = 1024;
    // The total that whole-part operations show their progress against.
    static constexpr uint32_t kProgressTotal = 0x300000;

    explicit CEEPROMBaseImpl(CRefPtr<IDevice> device);
    virtual ~CEEPROMBaseImpl() = default;

    // IEEPROM.
    std::ostream& Describe(std::ostream& out) override;
    const CEEPROMType& GetType() override { return m_part; }
    uint32_t WriteImage(IUserInterface* ui, uint32_t address, IROMImage* image, int32_t imageOffset,
                        uint32_t count, bool eraseAware, bool reserved, CLog& log) override;
    uint32_t Read(IUserInterface* ui, uint32_t address, uint32_t count, int32_t imageOffset,
                  IROMImage* destination, CLog& log) override;
    CRefPtr<IROMImage> ReadImage(IUserInterface* ui, uint32_t count, CLog& log) override;
    CRefPtr<IROMImage> ReadImageCopy(IUserInterface* ui, uint32_t count, CLog& log) override;
    bool IsSecure() override { return m_secure; }
    void SetLoader(CKestrixLoader*) override {}
    CKestrixLoader* GetLoader() override { return nullptr; }
    void RunConsole() override {}
    void RunConsoleWithMessage(const std::string&) override {}

    // ROM access is opened and restored through this adapter (the one whose
    // device this is) from now on.
    void UseAdapterForRomAccess(CRefPtr<IDisplayAdapter> adapter)
    {
        m_adapter = std::move(adapter);
    }

    uint8_t GetReportedManufacturerID() const { return m_reportedManufacturer; }
    uint16_t GetReportedDeviceID() const { return m_reportedDevice; }

protected:
    virtual void SaveRomWindow(CLog& log);
    virtual void RestoreRomWindow(CLog& log);
    // Saves the ROM-window decode registers for a scope and puts them back on
    // every way out.
    class CRomWindowScope
    {
    public:
        CRomWindowScope(CEEPROMBaseImpl& owner, CLog& log);
        ~CRomWindowScope();
        CRomWindowScope(const CRomWindowScope&) = delete;
        CRomWindowScope& operator=(const CRomWindowScope&) = delete;

    private:
        CEEPROMBaseImpl& m_owner;
        CLog& m_log;
    };
    // Programs one page, or part of one, and checks it by reading it back.
    virtual void ProgramPage(uint32_t address, IROMImage* image, int32_t imageOffset,
                             uint32_t count, CLog& log) = 0;
    virtual void ComparePage(const uint8_t* current, const uint8_t* wanted, uint32_t count,
                             bool& needsErase, bool& differs);
    virtual void CompareBlock(IROMImage* current, uint32_t address, IROMImage* wanted,
                              int32_t imageOffset, uint32_t count, bool& needsErase,
                              std::vector<bool>& pageFlags, CLog& log);
    virtual uint32_t ProgramBlock(IUserInterface* ui, IROMImage* current, uint32_t address,
                                  IROMImage* wanted, int32_t imageOffset, uint32_t count,
                                  bool erase, std::vector<bool>& pageFlags, CLog& log);
    virtual void ReadBytes(uint32_t address, uint32_t count, uint8_t* buffer);
    virtual void WriteRomByte(uint32_t address, uint8_t value);

    // Reads the page back and compares it with the image; logs the mismatch
    // with a dump of the page, read twice. True when every byte matched.
    bool VerifyPage(uint32_t address, IROMImage* image, int32_t imageOffset, uint32_t count,
                    int32_t attempt, CLog& log);

    // The count that stays inside the part from address; std::domain_error for
    // an address past the part.
    uint32_t ClampReadCount(uint32_t address, uint32_t count) const;
    // Reads count bytes from address into the image at imageOffset, in chunks,
    // with progress over progressTotal; logs each chunk when asked. The caller
    // holds ROM access open. Returns the bytes read.
    uint32_t ReadIntoImage(IUserInterface* ui, uint32_t address, uint32_t count,
                           int32_t imageOffset, IROMImage* destination, CLog& log,
                           int progressTotal, bool logEachChunk);

    // The geometry checks shared by the write and the block programming.
    void CheckGeometry(bool eraseAware) const;
    // The part's size; std::runtime_error for the unknown part.
    uint32_t PartSize() const { return m_part.GetSizeInBytes(); }
    // Pages of [address, address + count): the first ends at the next page
    // boundary, the last is cut at the end.
    std::vector<std::pair<uint32_t, uint32_t>> SplitPages(uint32_t address, uint32_t count) const;

    IDevice& Device() { return *m_device; }
    const CRefPtr<IDevice>& DevicePtr() const { return m_device; }
    // Null unless the EEPROM was made for an adapter.
    const CRefPtr<IDisplayAdapter>& AdapterPtr() const { return m_adapter; }

    CEEPROMType m_part;
    uint8_t m_reportedManufacturer = 0;
    uint16_t m_reportedDevice = 0;
    bool m_identifyAttempted = false;
    bool m_secure = false;

private:
    // Programs back, from the pre-read contents, the part of an erased block
    // that lies past the written range. Best effort goes on past a page that
    // fails (logging it) instead of stopping at it.
    void RestoreBlockTail(IROMImage* current, uint32_t from, uint32_t blockEnd, CLog& log,
                          bool bestEffort);

    CRefPtr<IDevice> m_device;
    CRefPtr<IDisplayAdapter> m_adapter;
    std::vector<std::pair<uint32_t, uint32_t>> m_savedWindows;
};

// The bytes an image's buffer pointer can reach.
uint64_t ImageBufferLimit(IROMImage* image);

// Log helpers: one level-3 line.
void LogDetail(CLog& log, const std::string& text);
