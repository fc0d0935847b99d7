// The engineering commands that maintain an adapter's EEPROM outside the
// flash path: erasing it, deleting the firmware, software protection, the
// soft straps, the IEEE 1394 GUID and its source, the TV data, the write,
// read and stress tests, and the tuning of the preserved board data.
// Values are read whole before any adapter is chosen, so a typing mistake
// never reaches the hardware.

#include "app/engineering/EngineeringCommands.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace
{
constexpr uint32_t kMaxStrapValue = 0x7FFFFFFF;
constexpr size_t kGuidDigits = 16;
constexpr uint32_t kGuidSourceMain = 1;
constexpr uint32_t kGuidSourceDedicated = 0;

std::string Value(EngineeringCommand& command, const std::string& word, int index = 0)
{
    return command.values.commandLine->GetValue(word, 0, index);
}

// A decimal value of the word's option, read whole.
uint32_t DecimalValue(const std::string& word, const std::string& text)
{
    const std::optional<uint32_t> value = ReadWholeNumber(text, 10, 0xFFFFFFFF);
    if (!value)
    {
        throw std::runtime_error("Invalid value \"" + text + "\" for --" + word + ".");
    }
    return *value;
}

void SelectOne(EngineeringCommand& command)
{
    SelectOneAdapter(command, false);
}

// The test's warnings and the typed "YES"; anything else aborts.
void ConfirmEEPROMTest(EngineeringCommand& command, bool writes)
{
    std::cout << "WARNING: This test is only meant for use to qualify EEPROM parts and diagnose\n"
                 "GPU board and chip issues."
              << std::endl
              << "WARNING: This test can completely erase all data from the EEPROM part including\n"
                 "preservation (krtune) data."
              << std::endl
              << "WARNING: This test can make the GPU board unusable to the point where it cannot\n"
                 "be recovered."
              << std::endl;
    if (writes)
    {
        std::cout << "WARNING: This test can shorten the life of your EEPROM device." << std::endl;
    }
    if (command.values.retryMode > 1)
    {
        std::cout << "WARNING: Retries enabled.  Usually \"--noretries\" should be specified when\n"
                     "performing EEPROM tests."
                  << std::endl;
    }
    std::cout << std::endl
              << "Are you sure you want to continue?" << std::endl
              << "Type \"YES\" to confirm (all caps):  " << std::flush;
    std::string answer;
    const bool typed = GetCrossPlatform()->ReadLine(answer);
    std::cout << std::endl;
    if (!typed || answer != "YES")
    {
        throw user_abort_error(writes ? "Flash test aborted" : "Flash read test aborted");
    }
}

void RunEEPROMTest(EngineeringCommand& command, bool writes)
{
    const std::string word = writes ? "test" : "readtest";
    const std::string passesText = Value(command, word, 0);
    if (passesText.empty())
    {
        throw std::runtime_error("Number of passes must be specified");
    }
    if (passesText.front() == '-' && ReadWholeNumber(passesText.substr(1), 10, 0xFFFFFFFF))
    {
        throw std::runtime_error("Invalid passes, number of passes must be > 0");
    }
    const uint32_t passes = DecimalValue(word, passesText);
    if (passes > 0x7FFFFFFF)
    {
        throw std::runtime_error("Invalid value \"" + passesText + "\" for --" + word + ".");
    }
    if (passes == 0)
    {
        std::cout << (writes ? "Number of passes specified as zero, test will repeat until "
                               "EEPROM programming fails."
                             : "Number of passes specified as zero, test will repeat until "
                               "EEPROM reading fails.")
                  << std::endl;
    }
    const std::string startText = Value(command, word, 1);
    if (startText.empty())
    {
        throw std::runtime_error("Test area starting offset must be specified");
    }
    const uint32_t start = DecimalValue(word, startText);
    const std::string lengthText = Value(command, word, 2);
    const uint32_t length = lengthText.empty() ? 0 : DecimalValue(word, lengthText);
    SelectOne(command);
    ConfirmEEPROMTest(command, writes);
    EngineeringValues& values = command.values;
    if (writes)
    {
        values.flasher->TestFlashing(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                     static_cast<int32_t>(passes), start, length, values.log);
    }
    else
    {
        values.flasher->TestReading(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                    static_cast<int32_t>(passes), start, length, values.log);
    }
}

bool IsHexDigits(const std::string& text)
{
    return text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

void RequireGuidSupport(EngineeringCommand& command)
{
    SelectOne(command);
    if (!command.adapter->HasIeee1394Guid() || !command.adapter->HasEEPROMStraps())
    {
        throw std::runtime_error("Display adapter does not have IEEE 1394 GUID support");
    }
}

// One register field edit per occurrence of presregtune, and the data
// request of presdatatune.
std::vector<PreservationTuneRequest> ReadTuneRequests(ICommandLine& commandLine)
{
    std::vector<PreservationTuneRequest> requests;
    auto add = [&requests](const TuneSpec& spec, uint8_t occurrence)
    {
        PreservationTuneRequest request;
        request.registerAddress = spec.reg;
        request.value = spec.value;
        request.lowBit = spec.lsb;
        request.highBit = spec.msb;
        request.dataId = spec.id;
        request.occurrence = occurrence;
        request.dataSize = spec.dataLength;
        request.requestKind = static_cast<uint32_t>(spec.kind);
        requests.push_back(request);
    };
    const int registerCount = commandLine.GetOccurrenceCount("presregtune");
    for (int occurrence = 0; occurrence < registerCount; ++occurrence)
    {
        TuneSpec spec{};
        if (!commandLine.GetRegisterFieldSpec("presregtune", occurrence, 0, &spec))
        {
            throw std::runtime_error(
                "Invalid input, argument must comply with the <REG>[=<VALUE>] \n"
                "\tor <REG>[<MSB>:<LSB>]=<VALUE> format.");
        }
        add(spec, static_cast<uint8_t>(occurrence));
    }
    if (commandLine.IsSet("presdatatune"))
    {
        TuneSpec spec{};
        if (!commandLine.GetValuePair("presdatatune", 0, 0, &spec))
        {
            throw std::runtime_error(
                "Invalid input, argument must comply with <ID>[:Width][,<Data>]... format.");
        }
        add(spec, 0);
    }
    return requests;
}

} // namespace

static void EraseAdapterEEPROM(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->EraseEEPROM(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                values.autoNoConfirm, values.log);
}

static void DeleteAdapterFirmware(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->DeleteVbios(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                values.autoNoConfirm, values.log);
}

static void UpdateAdapterStraps(EngineeringCommand& command)
{
    std::string texts[4];
    for (int i = 0; i < 4; ++i)
    {
        texts[i] = Value(command, "straps", i);
        if (texts[i].empty())
        {
            throw std::runtime_error("Not all four strap values specified");
        }
    }
    uint32_t straps[4];
    for (int i = 0; i < 4; ++i)
    {
        const std::optional<uint32_t> value = ReadWholeNumber(texts[i], 10, kMaxStrapValue);
        if (!value)
        {
            // A whole decimal number too large, however large, is out of
            // range; any other text is no number.
            if (texts[i].find_first_not_of("0123456789") == std::string::npos)
            {
                throw std::runtime_error("Strap values out of range");
            }
            throw std::runtime_error("Invalid value \"" + texts[i] + "\" for --straps.");
        }
        straps[i] = *value;
    }
    SelectOne(command);
    if (!command.adapter->HasEEPROMStraps())
    {
        throw std::runtime_error("Display adapter does not have EEPROM based straps");
    }
    EngineeringValues& values = command.values;
    values.flasher->UpdateStraps(values.ui, GetPCIBus(), command.adapter, values.eeproms, straps[0],
                                 straps[1], straps[2], straps[3], values.log);
}

static void UpdateAdapterGuid(EngineeringCommand& command)
{
    std::string digits = Value(command, "guid");
    if (digits.starts_with("0x"))
    {
        digits.erase(0, 2);
    }
    if (digits.size() != kGuidDigits)
    {
        throw std::runtime_error("GUID must be specified as a full 16 hex digits");
    }
    if (!IsHexDigits(digits))
    {
        throw std::runtime_error("Invalid GUID specified, must be 16 hex digits");
    }
    const auto high = static_cast<uint32_t>(std::stoul(digits.substr(0, 8), nullptr, 16));
    const auto low = static_cast<uint32_t>(std::stoul(digits.substr(8), nullptr, 16));
    RequireGuidSupport(command);
    EngineeringValues& values = command.values;
    values.flasher->UpdateGUID(values.ui, GetPCIBus(), command.adapter, values.eeproms, high, low,
                               values.log);
}

static void UpdateAdapterGuidSource(EngineeringCommand& command)
{
    const std::string text = Value(command, "guidsource");
    uint32_t source = kGuidSourceMain;
    if (text == "main")
    {
        source = kGuidSourceMain;
    }
    else if (text == "dedicated")
    {
        source = kGuidSourceDedicated;
    }
    else
    {
        throw std::runtime_error(
            "Invalid GUID source specified, must be either main or dedicated.");
    }
    RequireGuidSupport(command);
    EngineeringValues& values = command.values;
    values.flasher->UpdateGUIDSource(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                     source, values.log);
}

static void UpdateAdapterTVData(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->UpdateTVType(values.ui, values.fileName, GetPCIBus(), command.adapter,
                                 values.eeproms, values.log);
}

static void SetAdapterProtection(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.flasher->SetSoftwareProtect(values.ui, GetPCIBus(), command.adapter, values.eeproms,
                                       values.commandLine->IsSet("protecton"), values.log);
}

static void TestAdapterEEPROMWriting(EngineeringCommand& command)
{
    RunEEPROMTest(command, true);
}

static void TestAdapterEEPROMReading(EngineeringCommand& command)
{
    RunEEPROMTest(command, false);
}

static void StressAdapterEEPROM(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    values.result =
        values.flasher->StressTest(values.ui, GetPCIBus(), command.adapter, values.adapters,
                                   values.boards, values.eeproms, values.log);
}

static void TuneAdapterPreservedData(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    std::vector<PreservationTuneRequest> requests = ReadTuneRequests(*values.commandLine);
    RefuseWriteOverride(values);
    SelectOne(command);
    if (!TraitsOfDeviceKind(command.adapter->GetDevice()->GetDeviceKind()).preservationTuning)
    {
        throw user_abort_error(
            "Preservation tuning is only supported on Dolvik and Estrel GPUs. Update aborted.");
    }
    values.flasher->TunePreservationData(values.ui, values.commandLine.get(), GetPCIBus(),
                                         command.adapter, values.eeproms, requests,
                                         values.autoNoConfirm, values.log);
}

CommandFamily EEPROMCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"erasefull", 0, "", "Erase the whole EEPROM.", 380},
        {"delete", 0, "", "Delete the firmware, keeping the Varnex store.", 390},
        {"straps", 4, "<s0>,<s1>,<s2>,<s3>", "Set the four soft straps (decimal).", 400},
        {"guid", 1, "<16 hex digits>", "Set the IEEE 1394 GUID.", 410},
        {"guidsource", 1, "main|dedicated", "Set the source of the IEEE 1394 GUID.", 420},
        {"tv", 0, "", "Update the TV data from the file.", 430},
        {"protecton", 0, "", "Switch the EEPROM's software protection on.", 450},
        {"protectoff", 0, "", "Switch the EEPROM's software protection off.", 460},
        {"test", 3, "<passes>,<start>[,<length>]", "EEPROM write test (passes 0: until it fails).",
         490},
        {"stress", 0, "", "EEPROM stress test.", 500},
        {"readtest", 3, "<passes>,<start>[,<length>]",
         "EEPROM read test (passes 0: until it fails).", 510},
        {"presregtune", 1, "<REG>[[<MSB>:<LSB>]]=<VALUE>", "Tune a preserved register setting.",
         610},
        {"presdatatune", 64, "<ID>[:Width][,<Data>]...", "Read or tune a preserved data block.",
         620},
    };
    static const ChainRow kChain[] = {
        {{"erasefull"},
         36,
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "",
         EraseAdapterEEPROM},
        {{"delete"},
         37,
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "",
         DeleteAdapterFirmware},
        {{"straps"}, 38, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterStraps},
        {{"guid"}, 39, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterGuid},
        {{"guidsource"}, 40, {LogCommand, PowerCheck, RefuseOverride}, "", UpdateAdapterGuidSource},
        {{"tv"},
         41,
         {LogCommand, PowerCheck, RefuseOverride, FileRequired, OneAdapter},
         "",
         UpdateAdapterTVData},
        {{"protecton", "protectoff"},
         43,
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "",
         SetAdapterProtection},
        {{"test"}, 46, {LogCommand, PowerCheck, RefuseOverride}, "", TestAdapterEEPROMWriting},
        {{"stress"},
         47,
         {LogCommand, PowerCheck, RefuseOverride, OneAdapter},
         "EEPROM Stress-testing ",
         StressAdapterEEPROM},
        {{"readtest"}, 48, {LogCommand, PowerCheck, RefuseOverride}, "", TestAdapterEEPROMReading},
        // The tuning values are read before the override is refused.
        {{"presregtune", "presdatatune"},
         55,
         {LogCommand, PowerCheck},
         "presregtune",
         TuneAdapterPreservedData},
    };
    static const UsageRow kUsage[] = {
        {1, 200, "Tune Preserved Register:", " [options] --presregtune <REG>=<Value>"},
        {1, 210, "Tune Preserved Data Block:", " [options] --presdatatune <ID>,[<DW>]"},
        {1, 220, "EEPROM Stress-test:", " [options] --stress"},
        {1, 230, "Write protect EEPROM:", " [options] --protecton"},
        {1, 240, "Remove write protect:", " [options] --protectoff"},
        {1, 250, "Update TV data:", " [options] --tv <filename>"},
        {1, 260, "Change soft straps:", " [options] --straps=<straps>"},
        {1, 270, "Set IEEE 1394 GUID:", " [options] --guid=<guid>"},
        {1, 280, "Set IEEE 1394 GUID source:", " [options] --guidsource=<location>"},
    };
    return {kWords, kChain, kUsage};
}
