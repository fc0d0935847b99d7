// The engineering commands that put an adapter's Kestrix engines into
// service: loading signed microcode into the engines named on the command
// line, attaching to the microcode the PMU already runs, and showing the
// chip's ECID hash through the loaded microcode.

#include "app/engineering/EngineeringCommands.h"

#include "core/CrossPlatform.h"
#include "eeprom/KestrixImage.h"
#include "eeprom/KestrixLoader.h"
#include "flasher/DisplayDriverGuard.h"

#include <array>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
constexpr uint32_t kEcidCommandKind = 1; // the SHA2 hash of the raw ECID

// Why a freshly built loader cannot load. The PMU names every status it
// knows; the other engines only a malformed image.
std::string LoadStatusText(uint32_t engineType, uint32_t status)
{
    const std::string engine = engineType == KESTRIX_KRDEC ? "KRDEC"
                               : engineType == KESTRIX_SEC ? "SEC"
                                                           : "PMU";
    std::string reason = "UNKNOWN KESTRIX IMAGE ERROR";
    if (status == KESTRIX_IMAGE_FILE_FORMAT_ERROR ||
        status == KESTRIX_IMAGE_FILE_UNSUPPORTED_VERSION)
    {
        reason = "KESTRIX_IMAGE_FILE_FORMAT_ERROR";
    }
    else if (engine == "PMU" && status == KESTRIX_IMAGE_FILE_NOT_FOUND)
    {
        reason = "KESTRIX_IMAGE_FILE_NOT_FOUND";
    }
    else if (engine == "PMU" && status == KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND)
    {
        reason = "KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND";
    }
    return engine + ":  " + reason;
}

class CMicrocodeLoad
{
public:
    CMicrocodeLoad(EngineeringCommand& command, CRefPtr<IDisplayAdapter> adapter)
        : m_command(command), m_adapter(std::move(adapter))
    {
    }

    // Builds a loader of the engine from the file and refuses it, with the
    // display driver given back, when its image cannot be loaded.
    void Add(uint32_t engineType, const std::string& fileName)
    {
        CRefPtr<CKestrixLoader> loader =
            new CKestrixLoader(m_adapter, fileName, engineType, IsSet("wiuconsole"));
        const uint32_t status = loader->GetLoadStatus();
        if (engineType != KESTRIX_PMU_ATTACH && status != KESTRIX_IMAGE_OK)
        {
            CLog* log = m_command.values.log;
            CDisplayDriverRestoreGuard restoreOnFailure(log, DisplayRestore::OnFailure);
            const std::string text = LoadStatusText(engineType, status);
            log->SetLevel(4);
            *log << (engineType == KESTRIX_PMU ? "ERROR: " : "") << text << LogEndl;
            throw std::runtime_error(text);
        }
        m_loaders.push_back(loader);
    }

    bool Empty() const { return m_loaders.empty(); }

    // Attaches and loads every loader in order; returns the first.
    CRefPtr<CKestrixLoader> Load(bool alternateStyle)
    {
        EngineeringValues& values = m_command.values;
        for (const CRefPtr<CKestrixLoader>& loader : m_loaders)
        {
            loader->SetCatalogues(values.boards, values.eeproms);
            loader->SetUserImageMode(alternateStyle ? 1 : 0);
            loader->AttachAdapter(values.ui, m_adapter, m_command.app.HasEngineeringFeatures());
            loader->LoadMicrocode(values.ui, m_adapter, nullptr, values.log);
        }
        return m_loaders.front();
    }

    bool IsSet(const std::string& word) const { return m_command.values.commandLine->IsSet(word); }
    std::string Value(const std::string& word) const
    {
        return m_command.values.commandLine->GetValue(word, 0, 0);
    }

private:
    EngineeringCommand& m_command;
    CRefPtr<IDisplayAdapter> m_adapter;
    std::vector<CRefPtr<CKestrixLoader>> m_loaders;
};

// Chooses the adapter, builds the loaders the command line names and
// loads them; the first loader is the result. The display driver stays
// disabled for the run's end to give back.
CRefPtr<CKestrixLoader> LoadKestrixMicrocode(EngineeringCommand& command, bool loadRequested)
{
    EngineeringValues& values = command.values;
    CLog* log = values.log;
    *log << LogLevel(3) << "Searching for correct display adapter for loading Kestrix uCode ..."
         << LogEndl << LogEndl;
    const DisplayAdapterList adapters =
        command.app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters, false,
                                   GetPCIBus(), values.index, log);
    const bool indexInList = values.index >= 0 && values.index < static_cast<int>(adapters.size());
    CRefPtr<IDisplayAdapter> adapter = adapters[indexInList ? values.index : 0];
    values.flasher->DisableDisplayDriver(adapter, log, values.index == -1);

    CMicrocodeLoad load(command, adapter);
    bool alternateStyle = false;
    if (loadRequested)
    {
        alternateStyle = !load.Value("loadkestrix").empty();
        if (load.IsSet("pmu") && !load.Value("pmu").empty())
        {
            load.Add(KESTRIX_PMU, load.Value("pmu"));
        }
        if (!load.Value("krdec").empty())
        {
            load.Add(KESTRIX_KRDEC, load.Value("krdec"));
        }
        if (!load.Value("sec").empty())
        {
            load.Add(KESTRIX_SEC, load.Value("sec"));
        }
        if (load.Empty())
        {
            log->SetLevel(4);
            *log << "loadkestrix command faild,  you must specify a Kestrix uCode image, using "
                    "\"pmu\", \"krdec\" or \"sec\"  "
                 << LogEndl;
            throw std::runtime_error("loadkestrix command failed,  you must specify a Kestrix "
                                     "uCode image, using \"pmu\" or \"krdec\" ");
        }
    }
    else if (load.IsSet("attachkestrix"))
    {
        std::cout << "type = KESTRIX_PMU_ATTACH " << std::endl;
        load.Add(KESTRIX_PMU_ATTACH, "");
    }
    else
    {
        log->SetLevel(3);
        *log << "Load built-in PMU uCode image " << LogEndl;
        load.Add(KESTRIX_PMU, "");
    }
    return load.Load(alternateStyle);
}
} // namespace

static void LoadKestrixEngines(EngineeringCommand& command)
{
    LoadKestrixMicrocode(command, command.values.commandLine->IsSet("loadkestrix"));
}

static void AttachKestrixEngine(EngineeringCommand& command)
{
    LoadKestrixMicrocode(command, false);
}

static void ShowChipEcid(EngineeringCommand& command)
{
    CRefPtr<CKestrixLoader> loader =
        LoadKestrixMicrocode(command, command.values.commandLine->IsSet("pmu"));
    std::array<uint8_t, 32> hash{};
    const uint32_t status = loader->ReadECID(hash, kEcidCommandKind);
    if (status != 0)
    {
        throw std::runtime_error("ECID read failed (status " + std::to_string(status) + ").");
    }
    std::string digits;
    for (const uint8_t byte : hash)
    {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", byte);
        digits += pair;
    }
    *command.values.log << LogLevel(4) << "ECID ID( SHA2 Hash ):" << LogEndl << digits << LogEndl;
}

CommandFamily MicrocodeCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"loadkestrix", 1, "[alt]", "Load Kestrix microcode (a value: the alternate style).", 550},
        {"attachkestrix", 0, "", "Attach to the microcode the PMU runs.", 560},
        {"pmu", 1, "<file>", "The PMU engine's microcode image.", 570},
        {"krdec", 1, "<file>", "The KRDEC engine's microcode image.", 580},
        {"sec", 1, "[<file>]",
         "The SEC engine's microcode image; with a flash, program through the SEC engine.", 590},
        {"ecid", 0, "", "Display the SHA2 hash of the chip's ECID.", 600},
    };
    static const ChainRow kChain[] = {
        {{"loadkestrix"}, 52, {LogCommand, IndexOnly}, "", LoadKestrixEngines},
        {{"attachkestrix"}, 53, {LogCommand, IndexOnly}, "", AttachKestrixEngine},
        {{"ecid"},
         54,
         {LogCommand, IndexOnly},
         "Display the SHA2 hash of the RAW ECID of the GPU.",
         ShowChipEcid},
    };
    static const UsageRow kUsage[] = {
        {1, 110, "Display GPU ECID:", " [options] --ecid"},
    };
    return {kWords, kChain, kUsage};
}
