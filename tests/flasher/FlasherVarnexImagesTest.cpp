// An adapter opened for Varnex work (its EEPROM, its firmware and its store),
// an image whose Varnex block is rebuilt from two payloads and programmed, and
// the board data of the adapter's store shown, on the simulated machine; with
// romout the image goes to the file instead of the adapter.

#include "AdapterAndPackageStores.h"
#include "FakeEEPROM.h"
#include "FakeLoader.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "WatchingJournal.h"
#include "core/CrossPlatform.h"
#include "core/Log.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/CapturedOutput.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using testkit::ErrorOf;

namespace
{
constexpr uint16_t kVarnexImageObject = 0x4952;  // "IR"
constexpr uint16_t kVarnexBackupObject = 0x4942; // "IB"
constexpr uint8_t kReadCommand = 0x03;

// What the process log and the process console receive while it lives: the
// Varnex operations write to them, not to the rig's own log and console.
// The log's lines of levels 4 and 5 are the ones that reach the console.
struct ProcessOutput
{
    std::string Logged() const { return logged.str(); }
    std::string LoggedForConsole() const { return loggedForConsole.str(); }
    std::string Shown() const { return console.Text(); }

    std::ostringstream logged;
    std::ostringstream loggedForConsole;
    CScopedLogSink sink{GetLog(), &logged, 1, 5};
    CScopedLogSink consoleSink{GetLog(), &loggedForConsole, 4, 5};
    testkit::CCapturedOutput console;
};

struct AdapterImages
{
    int32_t status = -1;
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image;
    CRefPtr<CVarnexImage> store;
};

AdapterImages OpenImages(CFlasherMachine& rig, AdapterImages images = {})
{
    CRefPtr<IDisplayAdapter> adapter = rig.Adapter(0);
    images.status = rig.flasher->GetAdapterImages(CreateDisplayAdapterDatabase(), adapter, nullptr,
                                                  images.eeprom, images.image, images.store, true);
    return images;
}

std::vector<uint8_t> ImageBytes(IROMImage& image)
{
    COffsetModeScope off(&image, false);
    const uint8_t* bytes = IROMImage::ReadOnlyBuffer(&image);
    return {bytes, bytes + image.GetLoadedSize()};
}

std::vector<uint8_t> FileBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ObjectBytes(IROMImage& image, uint16_t type)
{
    COffsetModeScope on(&image, true);
    std::vector<uint8_t> bytes(image.GetNBSIObjectLength(type));
    image.ReadBlock(bytes.data(), image.FindNBSIObject(type), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

std::string Serial(CVarnexImage& store)
{
    const std::vector<uint8_t> body = store.FindObject(VarnexTag("OBD"))->GetData();
    const std::string field(body.begin() + 28, body.begin() + 44);
    return field.substr(0, field.find('\0'));
}

std::vector<uint8_t> SerialChanged(CFlasherMachine& rig, CVarnexImage& store,
                                   const std::string& serial)
{
    CsvSettings settings;
    EXPECT_TRUE(settings.ParseCsvLine(("BoardSerialNumber," + serial).c_str(), &rig.log));
    EXPECT_EQ(rig.flasher->UpdateOBDFields(&store, settings, &rig.log), 0);
    return store.Serialize(CVarnexImage::kSerializeFileSystem, &rig.log);
}
} // namespace

TEST(FlasherAdapterImages, ReadsTheFirmwareAndItsStoreFromTheEEPROM)
{
    const std::vector<uint8_t> firmware = AdapterFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    ProcessOutput process;
    AdapterImages opened = OpenImages(rig);
    ASSERT_EQ(opened.status, 0);
    ASSERT_TRUE(opened.eeprom);
    EXPECT_EQ(ImageBytes(*opened.image), rig.ChipBytes(0)) << "the whole part is read";
    ASSERT_TRUE(opened.store);
    EXPECT_EQ(Serial(*opened.store), "SN-ADAPTER-42");
    const std::string logged = process.Logged();
    EXPECT_NE(logged.find("Action: Get the specific images from display adapter.\n"),
              std::string::npos);
    EXPECT_LT(logged.find("Reading VBIOS image from EEPROM\n"),
              logged.find("Read VBIOS completed.\n"));
    EXPECT_NE(process.Shown().find("Reading VBIOS image from EEPROM..."), std::string::npos);

    // Firmware without a Varnex block opens as well, with no store.
    CFlasherMachine plain({{0x0800, 8, MakeFirmware()}});
    AdapterImages bare = OpenImages(plain);
    EXPECT_EQ(bare.status, 0);
    EXPECT_TRUE(bare.image);
    EXPECT_FALSE(bare.store);
}

TEST(FlasherAdapterImages, AnUnfinishedUpdatesSavedContentStandsInForTheHalfWrittenPart)
{
    // The stopped update erased the part; the record holds what it was.
    CFlasherMachine rig({{0x0800, 8, {}}});
    ProcessOutput process;
    CRefPtr<CWatchingJournal> journal(new CWatchingJournal);
    const std::vector<uint8_t> saved = AdapterFirmware();
    journal->pending = saved;
    rig.flasher->SetUpdateJournal(journal.get());
    AdapterImages opened = OpenImages(rig);
    rig.flasher->SetUpdateJournal(nullptr);

    ASSERT_EQ(opened.status, 0);
    std::vector<uint8_t> expected = saved;
    expected.resize(rig.Chip(0).SizeInBytes(), 0xFF);
    EXPECT_EQ(ImageBytes(*opened.image), expected) << "the saved content, in the part's size";
    ASSERT_TRUE(opened.store);
    EXPECT_EQ(Serial(*opened.store), "SN-ADAPTER-42");
    EXPECT_NE(process.Logged().find("Taking the board's data from the content saved by an "
                                    "unfinished update.\n"),
              std::string::npos);
    EXPECT_TRUE(journal->begun.empty()) << "reading writes no record";
}

TEST(FlasherAdapterImages, RomInReplacesTheEEPROMReadButStillOpensThePart)
{
    CFlasherMachine probe({{0x0800, 8, AdapterFirmware()}});
    const std::vector<uint8_t> file =
        WithVarnexBlock(MakeFirmware({.version = 0x86041C00}), PackageStore());
    const std::string path = probe.folder.WriteBytes("in.rom", file);
    {
        CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}}, {"romin=" + path});
        ProcessOutput process;
        rig.Chip(0).ClearHistory();
        AdapterImages opened = OpenImages(rig);
        ASSERT_EQ(opened.status, 0);
        EXPECT_TRUE(opened.eeprom);
        EXPECT_EQ(ImageBytes(*opened.image), file);
        EXPECT_EQ(rig.Chip(0).CommandCount(kReadCommand), 0u) << "nothing read from the part";
        ASSERT_TRUE(opened.store);
        EXPECT_EQ(Serial(*opened.store), "");
        EXPECT_NE(process.Logged().find("Reading VBIOS image from input image\n"),
                  std::string::npos);
    }
    {
        // A part reached through the microcontroller gets its microcode loader
        // all the same.
        CFlasherMachine rig({{0x0900, 9, AdapterFirmware()}}, {"romin=" + path});
        EngineSettings secure = MachineSettings();
        secure.noKestrix = false;
        rig.flasher = new CFlasherImpl(secure);
        CRefPtr<CFakeLoader> loader(new CFakeLoader);
        std::vector<MicrocodeLoaderRequest> requests;
        rig.flasher->SetMicrocodeLoaderFactory(
            [&](const MicrocodeLoaderRequest& request)
            {
                requests.push_back(request);
                return CRefPtr<IMicrocodeLoader>(loader.get());
            });
        rig.Chip(0).ClearHistory();
        AdapterImages opened = OpenImages(rig);
        ASSERT_EQ(opened.status, 0);
        ASSERT_TRUE(opened.eeprom && opened.eeprom->IsSecure());
        ASSERT_EQ(requests.size(), 1u);
        // The loader serves the driver the adapter's session guards.
        CAdapterSessionImpl* session = SessionOf(opened.eeprom.get());
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(requests[0].eeprom.get(), session->Driver().get());
        EXPECT_TRUE(requests[0].detailed);
        EXPECT_EQ(GetCrossPlatform()->GetFlashLoader(),
                  static_cast<IReferenceCount*>(loader.get()));
        EXPECT_EQ(GetCrossPlatform()->GetFlashEEPROM().get(),
                  static_cast<IReferenceCount*>(session->Driver().get()));
        EXPECT_EQ(ImageBytes(*opened.image), file);
        EXPECT_EQ(rig.Chip(0).CommandCount(kReadCommand), 0u);
    }
    {
        const std::string missing = (probe.folder / "missing.rom").string();
        CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}}, {"romin=" + missing});
        EXPECT_EQ(ErrorOf([&] { OpenImages(rig); }), "Cannot open file: " + missing);
    }
}

TEST(FlasherAdapterImages, AnUnsupportedPartFailsWithTheDriverBackAndTheOutputsKept)
{
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware(), "EF/3013", 0}});
    ProcessOutput process;
    AdapterImages before;
    before.eeprom = new CFakeEEPROM(256, 4, true);
    before.image = ImageOf(MakeFirmware());
    before.store = new CVarnexImage(BoardStore());
    const AdapterImages after = OpenImages(rig, before);
    EXPECT_EQ(after.status, 16);
    EXPECT_FALSE(after.eeprom);
    EXPECT_EQ(after.image.get(), before.image.get());
    EXPECT_EQ(after.store.get(), before.store.get());
    EXPECT_NE(process.Logged().find("Unsupported EEPROM Type. Can't proceed.\n"),
              std::string::npos);
    EXPECT_TRUE(rig.DriverBound(0));
    EXPECT_FALSE(GetCrossPlatform()->IsDisplayDriverDisabled());

    // Showing the board data stops at the same place.
    EXPECT_EQ(
        rig.flasher->DisplayVarnexOBD(rig.Adapter(0), CreateDisplayAdapterDatabase(), &rig.log),
        16);
    EXPECT_EQ(process.Shown().find("Display Varnex OBD information completed."), std::string::npos);
}

TEST(FlasherSuperImage, ProgramsTheRebuiltBlockAndKeepsItsSizeAndBackupAfterwards)
{
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}});
    ProcessOutput process;
    AdapterImages opened = OpenImages(rig);
    ASSERT_EQ(opened.status, 0);
    const std::string version = opened.image->GetVersionString(1);
    std::vector<uint8_t> main = SerialChanged(rig, *opened.store, "SN-REBUILT");
    std::vector<uint8_t> backup = BoardStore();
    const std::vector<uint8_t> backupGiven = backup;
    ASSERT_TRUE(rig.flasher->BuildAndFlashSuperImage(rig.Adapter(0), opened.eeprom, opened.image,
                                                     main, backup, true, &rig.log, nullptr));
    CRefPtr<IROMImage> written = ImageOf(rig.ChipBytes(0));
    EXPECT_EQ(written->GetVersionString(1), version);
    const std::vector<uint8_t> store = ObjectBytes(*written, kVarnexImageObject);
    EXPECT_EQ(store, main);
    EXPECT_EQ(ObjectBytes(*written, kVarnexBackupObject), backupGiven);
    EXPECT_EQ(Serial(*ReadVarnexStore(written.get(), false)), "SN-REBUILT");
    EXPECT_EQ(Serial(*ReadVarnexStore(written.get(), true)), "SN-ADAPTER-42");
    EXPECT_NE(process.Shown().find("Update successful."), std::string::npos);

    // A smaller store without a backup payload: padded with 0xFF to the
    // block's object, whose backup copy stays as it was.
    AdapterImages again = OpenImages(rig);
    ASSERT_EQ(again.status, 0);
    std::vector<uint8_t> small = testkit::CVarnexStoreBuilder()
                                     .Img("G001.0003", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                                     .BuildRaw();
    const size_t smallSize = small.size();
    ASSERT_LT(smallSize, store.size());
    std::vector<uint8_t> none;
    ASSERT_TRUE(rig.flasher->BuildAndFlashSuperImage(rig.Adapter(0), again.eeprom, again.image,
                                                     small, none, false, &rig.log, nullptr));
    ASSERT_EQ(small.size(), store.size()) << "the caller's payload is padded in place";
    EXPECT_TRUE(std::all_of(small.begin() + static_cast<std::ptrdiff_t>(smallSize), small.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    CRefPtr<IROMImage> rewritten = ImageOf(rig.ChipBytes(0));
    EXPECT_EQ(ObjectBytes(*rewritten, kVarnexImageObject), small);
    EXPECT_EQ(ObjectBytes(*rewritten, kVarnexBackupObject), backupGiven);
}

TEST(FlasherSuperImage, AnImageWithoutAChainFailsBeforeAnythingIsWritten)
{
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}});
    rig.Chip(0).ClearHistory();
    const std::vector<uint8_t> noChain(0x1000, 0x00);
    CRefPtr<IROMImage> image = ImageOf(noChain);
    std::vector<uint8_t> main = BoardStore();
    std::vector<uint8_t> backup;
    EXPECT_EQ(ErrorOf(
                  [&]
                  {
                      rig.flasher->BuildAndFlashSuperImage(rig.Adapter(0), rig.OpenEEPROM(0), image,
                                                           main, backup, false, &rig.log, nullptr);
                  }),
              "PCI Block corrupted 1.OffsetMode is true");
    EXPECT_EQ(ImageBytes(*image), noChain);
    EXPECT_TRUE(rig.Chip(0).Programs().empty());
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
}

TEST(FlasherSuperImage, RomOutTakesTheRebuiltImageInsteadOfTheAdapter)
{
    CFlasherMachine probe({{0x0800, 8, AdapterFirmware()}});
    const std::filesystem::path path = probe.folder / "out.rom";
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}}, {"romout=" + path.string()});
    AdapterImages opened = OpenImages(rig);
    ASSERT_EQ(opened.status, 0);
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    std::vector<uint8_t> main = SerialChanged(rig, *opened.store, "SN-TO-FILE");
    std::vector<uint8_t> backup;
    rig.Chip(0).ClearHistory();
    ASSERT_TRUE(rig.flasher->BuildAndFlashSuperImage(rig.Adapter(0), opened.eeprom, opened.image,
                                                     main, backup, false, &rig.log, nullptr));
    EXPECT_EQ(FileBytes(path), ImageBytes(*opened.image));
    EXPECT_EQ(Serial(*ReadVarnexStore(ImageOf(FileBytes(path)).get(), false)), "SN-TO-FILE");
    EXPECT_EQ(rig.ChipBytes(0), chip);
    EXPECT_TRUE(rig.Chip(0).Programs().empty());
}

TEST(FlasherVarnexObd, ShowsTheAdapterBoardDataOnTheConsoleAndInTheLog)
{
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}});
    ProcessOutput process;
    EXPECT_EQ(
        rig.flasher->DisplayVarnexOBD(rig.Adapter(0), CreateDisplayAdapterDatabase(), &rig.log), 0);
    // The fields go to the log at the level that reaches the console, each
    // as its text without the zero bytes that fill the field.
    EXPECT_EQ(process.LoggedForConsole(), "BoardBuildDate : 0134D7B1\n"
                                          "MarketingName : Board Of The Adapter\n"
                                          "BoardSerialNumber : SN-ADAPTER-42\n"
                                          "MemoryManufacturer : \x03\n"
                                          "MemoryPartID : \n"
                                          "MemoryDateCode : \n"
                                          "BoardProductPartNumber : 900-10800-0000-A01\n"
                                          "BoardRevision : A01\n"
                                          "BoardType : \n"
                                          "Board699PartNumber : \n");
    const std::string shown = process.Shown();
    EXPECT_NE(shown.find("Reading VBIOS image for displaying OBD information...."),
              std::string::npos);
    EXPECT_NE(shown.find("Display Varnex OBD information completed."), std::string::npos);
    EXPECT_NE(rig.Logged().find("Action: Display Varnex OBD information \n"), std::string::npos);

    // Firmware without a store, or with a damaged one, says so and still
    // completes.
    struct Case
    {
        const char* name;
        std::vector<uint8_t> firmware;
        const char* shown;
    };
    const Case cases[] = {
        {"no store", MakeFirmware(), "Varnex image is not present\n"},
        {"damaged store",
         WithVarnexBlock(MakeFirmware(), testkit::CVarnexStoreBuilder()
                                             .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                                             .WithSizeField(0x7FFF)
                                             .BuildRaw()),
         "Invalid Varnex image\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine other({{0x0800, 8, c.firmware}});
        ProcessOutput otherProcess;
        EXPECT_EQ(other.flasher->DisplayVarnexOBD(other.Adapter(0), CreateDisplayAdapterDatabase(),
                                                  &other.log),
                  0);
        EXPECT_NE(otherProcess.Shown().find(c.shown), std::string::npos) << otherProcess.Shown();
        EXPECT_NE(otherProcess.Shown().find("Display Varnex OBD information completed."),
                  std::string::npos);
    }
}

TEST(FlasherWriteVarnexImage, ProgramsTheBuiltImageWithProgressOnlyWhenVerbose)
{
    struct Case
    {
        const char* name;
        int32_t modeFlags;
        bool progressShown;
    };
    const Case cases[] = {{"verbose", 1, true}, {"quiet", 0, false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}});
        rig.flasher->SetModeFlags(c.modeFlags);
        AdapterImages opened = OpenImages(rig);
        ASSERT_EQ(opened.status, 0);
        std::vector<uint8_t> main = SerialChanged(rig, *opened.store, "SN-WRITTEN");
        std::vector<uint8_t> backup;
        ASSERT_EQ(rig.flasher->BuildVarnexBlocks(opened.image, main, backup, false, &rig.log), 0);
        ProcessOutput process;
        EXPECT_TRUE(rig.flasher->WriteVarnexImage(rig.Adapter(0), opened.eeprom, opened.image,
                                                  nullptr, &rig.log));
        EXPECT_EQ(Serial(*ReadVarnexStore(ImageOf(rig.ChipBytes(0)).get(), false)), "SN-WRITTEN");
        EXPECT_EQ(process.Shown().find("Verifying update...") != std::string::npos, c.progressShown)
            << process.Shown();
    }
}

TEST(FlasherVarnexObjects, RomOutTakesTheImageInsteadOfTheAdapter)
{
    CFlasherMachine probe({{0x0800, 8, AdapterFirmware()}});
    const std::string path = (probe.folder / "out.rom").string();
    CFlasherMachine rig({{0x0800, 8, AdapterFirmware()}}, {"romout=" + path});
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    std::vector<uint8_t> bytes = WithVarnexBlock(MakeFirmware(), PackageStore());
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(
        rig.flasher->WriteVarnexImage(rig.Adapter(0), rig.OpenEEPROM(0), image, nullptr, &rig.log));
    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {}), bytes);
    EXPECT_EQ(rig.ChipBytes(0), chip);
    EXPECT_FALSE(rig.flasher->WriteVarnexImage(rig.Adapter(0), rig.OpenEEPROM(0), nullptr, nullptr,
                                               &rig.log));
}
