// CKestrixLoader: construction, the factory, attaching, closing and the end
// of the loader's life. The engine, the mailbox and the commands are in the
// other KestrixLoader*.cpp files.

#include "eeprom/KestrixLoader.h"

#include "core/CrossPlatform.h"
#include "core/UserFile.h"

#include <iterator>
#include <stdexcept>

namespace
{
constexpr uint32_t kPmuBase = 0x10A000;
constexpr uint32_t kKrdecBase = 0x84000;
constexpr uint32_t kSecBase = 0x87000;

uint32_t EngineBase(uint32_t engineType)
{
    switch (engineType)
    {
    case KESTRIX_KRDEC:
    case KESTRIX_KRDEC_ATTACH:
        return kKrdecBase;
    case KESTRIX_SEC:
    case KESTRIX_SEC_ATTACH:
        return kSecBase;
    default:
        return kPmuBase;
    }
}

// The target engine the parse writes into a version-3 mapper's record.
uint8_t TargetEngine(uint32_t engineType)
{
    switch (engineType)
    {
    case KESTRIX_PMU:
        return 1;
    case KESTRIX_KRDEC:
        return 4;
    case KESTRIX_SEC:
        return 5;
    default:
        return 0;
    }
}

std::string StatusText(uint32_t status)
{
    const std::string name = KestrixLoadStatusName(status);
    return "PMU:  " + (name.empty() ? std::string("UNKNOWN KESTRIX IMAGE ERROR") : name);
}

CLog& LogOf(CLog* log)
{
    return log ? *log : *::GetLog();
}
} // namespace

std::string KestrixEngineName(uint32_t engineType)
{
    static const char* const kNames[] = {"KESTRIX_PMU",          "KESTRIX_KRDEC",
                                         "KESTRIX_SEC",          "KESTRIX_PMU_ATTACH",
                                         "KESTRIX_KRDEC_ATTACH", "KESTRIX_SEC_ATTACH"};
    return engineType < std::size(kNames) ? kNames[engineType] : "UNKNOWN";
}

CKestrixLoader::CKestrixLoader(CRefPtr<IDisplayAdapter> adapter, const std::string& fileName,
                               uint32_t engineType, bool console)
    : m_engineType(engineType), m_console(console)
{
    if (engineType > KESTRIX_SEC_ATTACH)
    {
        throw std::runtime_error("Unsupported Kestrix Type.  kestrix uCode load failed.");
    }
    const uint32_t base = EngineBase(engineType);
    m_registers = {base + 0x040, base + 0x044, base + 0x100, base + 0x104, base + 0x108,
                   base + 0x10C, base + 0x118, base + 0x180, base + 0x184, base + 0x188,
                   base + 0x1C0, base + 0x1C4, base + 0x200, base + 0x20C};
    ChooseImage(std::move(adapter), fileName);
}

void CKestrixLoader::ChooseImage(CRefPtr<IDisplayAdapter> adapter, const std::string& fileName)
{
    if (!fileName.empty())
    {
        m_fileName = fileName;
        m_notBuiltIn = true;
        // A file that cannot be read whole (a FIFO, a device, one larger than
        // any microcode) is not found as far as the load goes.
        const UserFileContents file = ReadUserFile(fileName, UserFileFormat::kMicrocode);
        if (!file.Read())
        {
            m_loadStatus = KESTRIX_IMAGE_FILE_NOT_FOUND;
            return;
        }
        image = ParseKestrixImage(file.bytes, TargetEngine(m_engineType), nullptr);
    }
    else if (m_engineType == KESTRIX_PMU || m_engineType == KESTRIX_SEC)
    {
        const KestrixUcodeDescriptor* descriptor = FindMicrocodeForDevice(std::move(adapter));
        if (!descriptor)
        {
            throw std::runtime_error("Kestrix ucode could not be found for this GPU");
        }
        image = ParseKestrixImage({descriptor->image, descriptor->size}, TargetEngine(m_engineType),
                                  descriptor);
    }
    else if (m_engineType == KESTRIX_KRDEC)
    {
        image = ParseKestrixImage(KestrixKrdecImage(), TargetEngine(m_engineType), nullptr);
    }
    else
    {
        // Attach types have no image: the pmu's running microcode is read
        // back at load; krdec and sec cannot be attached to.
        m_notBuiltIn = true;
        image.status =
            m_engineType == KESTRIX_PMU_ATTACH ? KESTRIX_IMAGE_OK : KESTRIX_IMAGE_FILE_FORMAT_ERROR;
    }
    m_loadStatus = image.status;
}

const KestrixUcodeDescriptor*
CKestrixLoader::FindMicrocodeForDevice(CRefPtr<IDisplayAdapter> adapter)
{
    return adapter ? FindKestrixUcodeForDeviceId(adapter->GetDeviceID()) : nullptr;
}

void CKestrixLoader::SetCatalogues(CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> parts)
{
    m_boardDatabase = std::move(boards);
    m_eepromDatabase = std::move(parts);
}

void CKestrixLoader::AttachAdapter(CRefPtr<IUserInterface> userInterface,
                                   CRefPtr<IDisplayAdapter> adapter, bool routeToUserInterface)
{
    adapter->MapRegisters();
    m_mapped = true;
    m_adapter = std::move(adapter);
    m_userInterface = std::move(userInterface);
    m_routeToUserInterface = routeToUserInterface;
}

bool CKestrixLoader::IsRegisteredLoader()
{
    // Only this loader's own registration counts: another adapter's loader
    // may be the one the operating-system layer holds.
    return GetCrossPlatform()->GetFlashLoader() == static_cast<IReferenceCount*>(this);
}

void CKestrixLoader::Close()
{
    if (IsRegisteredLoader() && !m_notBuiltIn && m_adapter)
    {
        SendCommand(KR_UCODE_CMD_COMMAND_CLOSE);
    }
}

void CKestrixLoader::CloseIfRegistered()
{
    if (!IsRegisteredLoader())
    {
        return;
    }
    if (!m_notBuiltIn && !keepRunning && m_adapter)
    {
        SendCommand(KR_UCODE_CMD_COMMAND_CLOSE);
    }
    if (m_adapter && m_mapped)
    {
        m_adapter->UnmapRegisters();
    }
    m_adapter = nullptr;
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
}

CKestrixLoader::~CKestrixLoader()
{
    m_certInfo = {};
    try
    {
        CloseIfRegistered();
    }
    catch (...)
    {
        // The end of a loader must not throw; the hardware layer's error has
        // nowhere to go from here.
    }
}

void CKestrixLoader::Show(const std::string& text)
{
    if (m_routeToUserInterface && m_userInterface)
    {
        m_userInterface->ShowMessage(1, text);
    }
    else
    {
        *::GetLog() << LogLevel(3) << text << LogEndl;
    }
}

void CKestrixLoader::Delay(uint32_t microseconds)
{
    GetCrossPlatform()->DelayMicroseconds(microseconds);
}

CRefPtr<CKestrixLoader> CreateKestrixLoader(KestrixLoadRequest request)
{
    CLog& log = LogOf(request.log);
    CRefPtr<CKestrixLoader> loader;
    if (request.userImage)
    {
        if (request.engineType <= KESTRIX_SEC && !request.fileName.empty())
        {
            loader = new CKestrixLoader(request.adapter, request.fileName, request.engineType,
                                        request.console);
        }
    }
    else
    {
        loader = new CKestrixLoader(request.adapter, "", request.engineType, request.console);
    }
    if (!loader)
    {
        log << LogLevel(4)
            << "loadkestrix command faild,  you must specify a Kestrix uCode image, using \"pmu\", "
               "\"krdec\" or \"sec\" "
            << LogEndl;
        throw std::runtime_error("loadkestrix command faild,  you must specify a Kestrix uCode "
                                 "image, using \"pmu\" or \"krdec\" ");
    }
    if (loader->GetLoadStatus() != KESTRIX_IMAGE_OK)
    {
        log << LogLevel(4) << "ERROR: " << StatusText(loader->GetLoadStatus()) << LogEndl;
        throw std::runtime_error(StatusText(loader->GetLoadStatus()));
    }
    log << LogLevel(3) << " loading Kestrix uCode ..." << LogEndl;
    log.SetLevel(4);
    loader->SetCatalogues(request.boardDatabase, request.eepromDatabase);
    loader->SetDetailed(request.detailed);
    loader->AttachAdapter(request.userInterface, request.adapter, true);
    loader->LoadMicrocode(request.userInterface, request.adapter, request.payloadSource,
                          request.log);
    return loader;
}
