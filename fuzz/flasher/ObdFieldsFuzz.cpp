// Fuzzes the OBD fields written from a settings file (`wrobd`): the file read
// as the command reads it, its rows handed to the engine's UpdateOBDFields on
// a store with an OBD object, and the fields read back as the command's text
// file shows them. Any input must end in an updated object or a refusal,
// never in a write outside the object's body.
//
// The input is the settings file's text.
//
// fuzz-link: romvise_testkit_varnex romvise_varnex romvise_core
// fuzz-max-len: 4096

#include "core/CsvSettings.h"
#include "core/Log.h"
#include "flasher/IFlasher.h"
#include "fuzz/FuzzMemoryFile.h"
#include "fuzz/FuzzSeeds.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/ObdFields.h"
#include "varnex/VarnexImage.h"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace
{
std::vector<uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

// The engine's messages go nowhere: printing them costs more than the work.
struct QuietOutput
{
    QuietOutput() { std::cout.rdbuf(sink.rdbuf()); }
    std::ostringstream sink;
};
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"every-field", Bytes("BoardBuildDate,20240305\nMarketingName,Korvan Board\n"
                              "BoardSerialNumber,SN-42\nMemoryManufacturer,S\n"
                              "MemoryPartID,K4Z80325BC\nMemoryDateCode,2419\n"
                              "BoardProductPartNumber,900-10800-0000-A01\nBoardRevision,A01\n"
                              "BoardType,1\nBoard699PartNumber,699-10800-0000-A01\n")},
        {"too-long-and-odd", Bytes("MarketingName,A name far longer than the field holds\n"
                                   "BoardBuildDate,0xZZ\n// comment\n,empty\nBoardType,\n")},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QuietOutput quiet;
    static IFlasher* const flasher = []
    {
        EngineSettings settings;
        settings.retries = 0;
        settings.autoConfirm = true;
        settings.noKestrix = true;
        return CreateFlasher(settings, ProcessEngineServices());
    }();
    static const std::vector<uint8_t> storeBytes =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Obd("900-10800-0000-A01", "Board", "SN-1")
            .BuildRaw();
    CLog log; // no sinks
    const CFuzzMemoryFile file(std::span<const uint8_t>(data, size));
    CsvSettings settings;
    if (file.IsOpen() && settings.PrintCsvTable(file.Path().c_str(), &log))
    {
        CRefPtr<CVarnexImage> store(new CVarnexImage(storeBytes));
        flasher->UpdateOBDFields(store, settings, &log);
        if (const CVarnexImageObject* obd = store->FindObject(kObdTag))
        {
            for (const ObdField& field : ObdFields())
            {
                GetObdField(*obd, field);
            }
        }
        store->SerializeRaw();
    }
    return 0;
}
