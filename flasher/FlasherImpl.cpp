// The engine object: its settings, the mode word, the display driver around
// an adapter's operations, and the shared start of every operation on one
// adapter.

#include "flasher/FlasherImpl.h"

#include "core/CommandLine.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "eeprom/EEPROMBaseImpl.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherDefaultServices.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kBlankWarningWaitMicroseconds = 3000000;
} // namespace

void ShowAndLog(IUserInterface& ui, CLog* log, const std::string& text)
{
    ui.ShowMessage(1, text);
    LogLine(log, 3, text);
}

void PrintAndLog(CLog* log, const std::string& text)
{
    LogLine(log, 3, text);
    std::cout << text << std::endl;
}

void RestoreDisplayDriverNow(CLog* log)
{
    GetCrossPlatform()->RestoreDisplayDriver(log);
}

std::string MismatchText(int32_t offset, uint8_t expected, uint8_t readBack, MismatchSource source)
{
    const char* expectedName =
        source == MismatchSource::Image ? " - Image value: 0x" : " - Expected value: 0x";
    return "Mismatch at offset 0x" + ToHex(static_cast<uint32_t>(offset), 8) + expectedName +
           ToHex(expected, 2) + " - Read back: 0x" + ToHex(readBack, 2);
}

CDisplayDriverRestoreGuard::~CDisplayDriverRestoreGuard()
{
    if (m_when == DisplayRestore::OnEveryExit || std::uncaught_exceptions() > m_exceptions)
    {
        try
        {
            RestoreDisplayDriverNow(m_log);
        }
        catch (...)
        {
            // The error on its way out is the one the user must see, and a
            // destructor lets nothing out.
        }
    }
}

CFlasherImpl::CFlasherImpl(const EngineSettings& settings, const EngineServices& services)
    : m_settings(settings), m_services(services)
{
    InstallDefaultServices(*this);
}

CFlasherImpl::~CFlasherImpl()
{
    m_driverDisabled = false;
}

IFlasher* CreateFlasher(const EngineSettings& settings, const EngineServices& services)
{
    return new CFlasherImpl(settings, services);
}

EngineServices ProcessEngineServices()
{
    return EngineServices{&GetUserInterface, &GetLog, &GetPCIBus, &GetEEPROMDatabase};
}

IFlasher* GetFlasher()
{
    static CSingletonHolder<IFlasher> holder(ESingletonSlot::Flasher);
    return GetOrCreateSingleton(
        holder,
        []
        {
            return CreateFlasher(EngineSettings::FromCommandLine(*ICommandLine::GetInstance()),
                                 ProcessEngineServices());
        });
}

void CFlasherImpl::SetMicrocodeLoaderFactory(MicrocodeLoaderFactory factory)
{
    m_loaderFactory = std::move(factory);
}

void CFlasherImpl::SelectAdapter(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IDisplayAdapter> adapter, bool detailed)
{
    std::ostringstream text;
    text << "Adapter: ";
    adapter->PrintDescriptionLine(text, detailed);
    ui->ShowMessage(1, text.str());
    bus->MapAdapter(adapter);
    if (detailed && adapter->IsDebugPortEnabled())
    {
        ui->ShowMessage(5, "Debug port will be disabled during EEPROM access.");
    }
}

void CFlasherImpl::DisableDisplayDriver(CRefPtr<IDisplayAdapter> adapter, CLog* log,
                                        bool rememberDisabled)
{
    if (!TraitsOfDeviceKind(adapter->GetDevice()->GetDeviceKind()).driverManaged)
    {
        return;
    }
    ICrossPlatform* os = GetCrossPlatform();
    os->SetActiveAdapter(CRefPtr<IAdapterContext>(adapter.get()));
    if (m_settings.keepDisplayDriver || m_driverDisabled)
    {
        return;
    }
    LogLine(log, 3, "\nDisable KR driver before start if KR driver loaded.");
    m_driverDisabled = rememberDisabled;
    if (os->IsDisplayDriverDisabled())
    {
        LogLine(log, 3, "\nKR driver may not be loaded or already be in disabled state.");
        return;
    }
    WarnDisplayBlank(m_services.userInterface());
    os->ToggleDisplayDriver(log);
    if (os->IsDisplayDriverDisabled())
    {
        LogLine(log, 3, "\nThe Romvise succeed to disable the KR Driver automatically.");
    }
}

void CFlasherImpl::WarnDisplayBlank(CRefPtr<IUserInterface> ui)
{
    if (IsVerbose())
    {
        return;
    }
    ui->ShowMessage(4, "   The display may go *BLANK* on and off for up to 6 seconds \n"
                       "   or more during access to the EEPROM depending on your display \n"
                       "   adapter and output device, it will begin in about 3 seconds.");
    GetCrossPlatform()->DelayMicroseconds(kBlankWarningWaitMicroseconds);
}

void CFlasherImpl::RestoreDisplayDriver(bool last)
{
    ICrossPlatform* os = GetCrossPlatform();
    if (last || !m_driverDisabled)
    {
        m_driverDisabled = false;
        os->RestoreDisplayDriver(m_services.log());
        return;
    }
    // The driver stays disabled for the next adapter; this one gets its pre-OS
    // application back now.
    auto* adapter = dynamic_cast<IDisplayAdapter*>(os->GetActiveAdapter().get());
    auto* eeprom = dynamic_cast<IEEPROM*>(os->GetFlashEEPROM().get());
    auto* database = dynamic_cast<IEEPROMDatabase*>(os->GetFlashEEPROMDatabase().get());
    try
    {
        // Whether the application started changes nothing here: its own log
        // lines tell, and the next adapter is taken either way.
        static_cast<void>(
            LoadPreOSApp(m_services.userInterface(), adapter, eeprom, database, m_services.log()));
    }
    catch (const std::exception& error)
    {
        LogLine(m_services.log(), 4, error.what());
    }
    // The loader is let go of by every holder here, so nothing uses it again.
    m_loader = nullptr;
    os->SetFlashContext(nullptr, nullptr, nullptr);
    os->SetActiveAdapter(nullptr);
}

void CFlasherImpl::ResetDriverState()
{
    m_driverDisabled = false;
}

namespace
{
// The adapter's PCI location: one session per location.
std::string SessionKey(IDisplayAdapter& adapter)
{
    CRefPtr<IDevice> device = adapter.GetDevice();
    return std::to_string(device->GetSegment()) + ":" + std::to_string(device->GetBus()) + ":" +
           std::to_string(device->GetDeviceNumber()) + "." +
           std::to_string(device->GetFunctionNumber());
}
} // namespace

CRefPtr<IAdapterSession> CFlasherImpl::OpenAdapterSession(CRefPtr<IDisplayAdapter> adapter,
                                                          const AdapterOpening& opening,
                                                          CRefPtr<IUserInterface> ui, CLog* log)
{
    const std::string key = SessionKey(*adapter);
    if (const auto open = m_sessions->find(key); open != m_sessions->end())
    {
        CRefPtr<IAdapterSession> session(open->second);
        session->Use(opening.use, *ui, log);
        return session;
    }
    if (opening.handOverDisplay)
    {
        DisableDisplayDriver(adapter, log, opening.rememberDisabled);
    }
    if (opening.select)
    {
        SelectAdapter(ui, opening.bus, adapter, opening.verbose);
    }
    else
    {
        opening.bus->MapAdapter(adapter);
    }
    CRefPtr<IEEPROM> driver =
        CreateEEPROM(adapter, m_settings.retries, m_settings.manualRead, m_settings.noKestrix);
    if (!driver)
    {
        throw unsupported_eeprom_error();
    }
    if (driver->IsSecure() && m_loaderFactory)
    {
        MicrocodeLoaderRequest request{ui,
                                       opening.bus,
                                       adapter,
                                       opening.eeproms,
                                       driver,
                                       m_settings.wiuConsole,
                                       m_settings.autoConfirm,
                                       opening.loaderVerbose,
                                       log,
                                       opening.kestrixEngineType,
                                       opening.boards};
        AttachMicrocodeLoader(m_loaderFactory(request), driver, opening.eeproms);
    }
    std::weak_ptr<std::map<std::string, CAdapterSessionImpl*>> registry = m_sessions;
    auto* opened =
        new CAdapterSessionImpl(adapter, driver, m_journal, m_settings, opening.announcePending,
                                [registry, key]
                                {
                                    if (const auto sessions = registry.lock())
                                    {
                                        sessions->erase(key);
                                    }
                                });
    CRefPtr<IAdapterSession> session(opened);
    (*m_sessions)[key] = opened;
    session->Use(opening.use, *ui, log);
    return session;
}

AdapterOpening CFlasherImpl::EngineOpening(AdapterUse use, CRefPtr<IPCIBus> bus,
                                           CRefPtr<IEEPROMDatabase> database, bool verbose) const
{
    AdapterOpening opening;
    opening.use = use;
    opening.verbose = verbose;
    opening.loaderVerbose = verbose;
    opening.bus = std::move(bus);
    opening.eeproms = std::move(database);
    return opening;
}

CRefPtr<IEEPROM> CFlasherImpl::OpenEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                          CRefPtr<IDisplayAdapter> adapter,
                                          CRefPtr<IEEPROMDatabase> database, bool detailed,
                                          AdapterUse use, CLog* log)
{
    AdapterOpening opening = EngineOpening(use, bus, database, detailed);
    // The caller has handed the display over and selected the adapter.
    opening.handOverDisplay = false;
    opening.select = false;
    return OpenAdapterSession(adapter, opening, ui, log)->EEPROM();
}

CRefPtr<IAdapterSession> CFlasherImpl::SessionFor(CRefPtr<IDisplayAdapter> adapter,
                                                  CRefPtr<IEEPROM> eeprom, AdapterUse use,
                                                  IUserInterface& ui, CLog* log)
{
    if (CAdapterSessionImpl* session = SessionOf(eeprom.get()))
    {
        session->Use(use, ui, log);
        return CRefPtr<IAdapterSession>(session);
    }
    const std::string key = SessionKey(*adapter);
    if (const auto open = m_sessions->find(key);
        open != m_sessions->end() && open->second->Driver() == eeprom)
    {
        open->second->Use(use, ui, log);
        return CRefPtr<IAdapterSession>(open->second);
    }
    // A bare driver: a session of its own for this operation, not registered
    // (its caller holds the adapter's driver, not a session).
    CRefPtr<IAdapterSession> session(
        new CAdapterSessionImpl(adapter, eeprom, m_journal, m_settings, true, nullptr));
    session->Use(use, ui, log);
    return session;
}

void CFlasherImpl::BeginSessionWrite(CAdapterSessionImpl* session, UpdateWriteKind kind,
                                     IROMImage& image, uint32_t address, uint32_t count,
                                     IUserInterface& ui, CLog* log)
{
    if (!session)
    {
        return;
    }
    const std::vector<uint8_t> before = session->ContentBefore(log);
    COffsetModeScope off(&image, false);
    const uint8_t* bytes = IROMImage::ReadOnlyBuffer(&image);
    const uint64_t limit = ImageBufferLimit(&image);
    const uint32_t available =
        address < limit ? static_cast<uint32_t>(std::min<uint64_t>(count, limit - address)) : 0;
    session->BeginWrite(
        kind, ContentWith(before, address, std::span<const uint8_t>(bytes + address, available)),
        ui, log);
}

void CFlasherImpl::AttachMicrocodeLoader(CRefPtr<IMicrocodeLoader> loader, CRefPtr<IEEPROM> eeprom,
                                         CRefPtr<IEEPROMDatabase> database)
{
    // The new loader replaces the earlier one in every holder; the earlier one
    // goes when its last holder lets go.
    m_loader = loader;
    GetCrossPlatform()->SetFlashContext(
        CRefPtr<IReferenceCount>(loader ? loader->GetRegistration() : nullptr),
        CRefPtr<IReferenceCount>(eeprom.get()), CRefPtr<IReferenceCount>(database.get()));
}

CRefPtr<IEEPROM>
CFlasherImpl::BeginAdapterOperation(const std::string& action, CRefPtr<IUserInterface> ui,
                                    CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IEEPROMDatabase> database, bool detailed, bool select,
                                    CLog* log, AdapterUse use)
{
    LogLine(log, 3, "Action: " + action);
    AdapterOpening opening = EngineOpening(use, bus, database, detailed);
    opening.select = select;
    return OpenAdapterSession(adapter, opening, ui, log)->EEPROM();
}

void CFlasherImpl::LiftWriteProtectionIfNeeded(IUserInterface& ui, IEEPROM& eeprom, CLog& log)
{
    if (!eeprom.GetType().WriteProtectOff)
    {
        return;
    }
    ui.ShowMessage(0, "Executing automatic disable of EEPROM write protect");
    try
    {
        eeprom.SetProtection(false, log);
    }
    catch (...)
    {
        LogLine(&log, 4, "\nDisabling of EEPROM write protect failed.");
        throw;
    }
    ui.ShowMessage(1, "Remove EEPROM write protect complete.");
    LogLine(&log, 3, "Remove EEPROM write protect complete.");
}

void CFlasherImpl::ConfirmOrAbort(IUserInterface& ui, bool typed, const std::string& question,
                                  const std::string& abortText)
{
    const std::string prompt = typed ? "Type \"YES\" to confirm (all caps): "
                                     : "Press 'y' to confirm (any other key to abort): ";
    if (!ui.Confirm(typed, question + "\nAre you sure you want to continue?\n" + prompt))
    {
        RestoreDisplayDriverNow(m_services.log());
        throw user_abort_error(abortText);
    }
}

namespace
{
// The operating-system layer's way back into the engine when it restores the
// display driver.
class CFlasherDriverHook : public CReferenceCountImpl, public IDisplayDriverHook
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CFlasherDriverHook(CRefPtr<IFlasher> flasher) : m_flasher(std::move(flasher)) {}

    void LoadPreOSApp(CRefPtr<IAdapterContext> adapter, CRefPtr<IReferenceCount> eeprom,
                      CRefPtr<IReferenceCount> eepromDatabase, CLog* log) override
    {
        // The layer lets go of the flash context next; the engine's reference
        // must not keep the loader's session open after it, however the start
        // ends.
        struct ReleaseLoaderAfter
        {
            CFlasherImpl* engine;
            ~ReleaseLoaderAfter()
            {
                if (engine)
                {
                    engine->ReleaseMicrocodeLoader();
                }
            }
        } release{dynamic_cast<CFlasherImpl*>(m_flasher.get())};
        // The restore goes on whether or not the application started; its
        // own log lines tell which.
        static_cast<void>(m_flasher->LoadPreOSApp(
            m_flasher->Services().userInterface(), dynamic_cast<IDisplayAdapter*>(adapter.get()),
            dynamic_cast<IEEPROM*>(eeprom.get()),
            dynamic_cast<IEEPROMDatabase*>(eepromDatabase.get()), log));
    }

    void ResetDriverState() override { m_flasher->ResetDriverState(); }

private:
    CRefPtr<IFlasher> m_flasher;
};
} // namespace

CRefPtr<IDisplayDriverHook> CreateDisplayDriverHook(CRefPtr<IFlasher> flasher)
{
    return CRefPtr<IDisplayDriverHook>(new CFlasherDriverHook(std::move(flasher)));
}
