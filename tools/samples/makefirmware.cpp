// makefirmware: writes a sample GPU firmware image, or a multi-image package
// of such images, for the simulated machine.

#include "SampleAdapters.h"
#include "SampleBridge.h"
#include "SampleKeys.h"
#include "ToolArguments.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/crypto/TestKeys.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"
#include "testkit/image/UefiBuilder.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace
{
// The selection field of a package: bits 20-23 of the GPU's strap register
// (makemachine --gpu FIRMWARE:DEVICE-ID:KIND:STRAPS).
constexpr uint8_t kStrapField = 1;
constexpr uint32_t kStrapRegister = 0x101000;
constexpr uint8_t kStrapFieldLow = 20;
constexpr uint8_t kStrapFieldHigh = 23;
constexpr uint32_t kFieldRangeSelection = 1;
constexpr size_t kMostBoardBytes = 256;
constexpr size_t kSerialLength = 16;

std::string Usage()
{
    return "Usage: makefirmware [OPTION]... OUTPUT\n"
           "       makefirmware --pack IMAGE[:LOW-HIGH] [--pack IMAGE[:LOW-HIGH]]... OUTPUT\n"
           "       makefirmware --efirom TEXT OUTPUT.efirom\n"
           "       makefirmware --zx22 OUTPUT\n"
           "Writes a Korvan GPU firmware image to OUTPUT, made the way the image model reads it\n"
           "(a PCI expansion-ROM chain whose first block carries its hardware data area and\n"
           "information tokens, checksums fixed). Make an older and a newer version, put the\n"
           "older one in a machine (makemachine --help) and stamp the newer one into a copy\n"
           "of romuvise (romstamp --help).\n"
           "\n"
           "  --device-id HEX       the adapter the image is for (default 0800):\n" +
           SampleGpuList() +
           "  --subsystem VEN:DEV   subsystem IDs in the hardware data area (hex, default\n"
           "                        7E2B:0001)\n"
           "  --board-id HEX        board ID in the information token (default 0201)\n"
           "  --version HEX         firmware version, 8 digits (default 86041B00, shown as\n"
           "                        86.04.1B.00)\n"
           "  --size HEX            length of the x86 block, a multiple of 200 from 1000 to\n"
           "                        200000 (default 10000)\n"
           "Board data, which an update keeps from the adapter's firmware:\n"
           "  --guid HEX            an IEEE 1394 GUID record holding these 16 digits\n"
           "  --board-settings HEX  a preservation table with one slot holding these bytes\n"
           "                        (hex digit pairs, at most 256 bytes)\n"
           "  --board-block HEX     a board block (code type 0x85) holding these bytes\n"
           "  --varnex-serial TEXT  a Varnex store, primary and backup, whose OBD object\n"
           "                        carries this serial number (at most 16 characters)\n"
           "Other parts of the image:\n"
           "  --init-from-rom HEX   an init-from-ROM segment of this size in front of the\n"
           "                        chain (a multiple of 200)\n"
           "  --uefi-driver TEXT    a UEFI driver (EFI block) whose build record gives TEXT\n"
           "                        as its version. romvise --updateuefi replaces the driver\n"
           "                        of an image whose version begins with 84, 82, 80, 75\n"
           "                        or 70 (e.g. --version 84041B00), not of others\n"
           "  --sign FOLDER         a certificate block signing the image under the key pair\n"
           "                        in FOLDER (root.pem, master.pem, vendor.pem), which is\n"
           "                        written when FOLDER holds none; FOLDER/" +
           kRootCertificateFile + "\n" +
           "                        and FOLDER/" + kRootPassPhraseFile +
           " receive the root certificate the\n"
           "                        image is signed under, in its container, and the pass\n"
           "                        phrase that opens it (makemachine --root-certificate).\n"
           "                        Not with --uefi-driver.\n"
           "A package:\n"
           "  --pack IMAGE[:LOW-HIGH]\n"
           "                        OUTPUT becomes a multi-image KRROM file holding the\n"
           "                        IMAGE (made by makefirmware) of each --pack, in order\n"
           "                        (give --pack once for each image); an image with a\n"
           "                        range is chosen only for a GPU whose straps bits 20-23\n"
           "                        (makemachine's STRAPS) lie in LOW-HIGH (hex). Takes no\n"
           "                        other option.\n"
           "A UEFI driver file:\n"
           "  --efirom TEXT         OUTPUT becomes a UEFI driver file (name it .efirom) for\n"
           "                        romvise --updateuefi: the EFI block of a driver whose\n"
           "                        build record gives TEXT as its version. Takes no other\n"
           "                        option.\n"
           "A bridge:\n"
           "  --zx22                OUTPUT becomes the firmware of a ZX22 bridge's own\n"
           "                        EEPROM, the one makemachine --bridge zx22 gives every\n"
           "                        bridge. Takes no other option.";
}

const std::vector<ToolOptionSpec> kOptions = {
    {"device-id"},      {"subsystem"},    {"board-id"},     {"version"},
    {"size"},           {"guid"},         {"board-settings"}, {"board-block"},
    {"varnex-serial"},  {"init-from-rom"}, {"uefi-driver"},  {"sign"},
    {"pack", true, true}, {"efirom"},   {"zx22", false},
};

std::vector<uint8_t> ReadFile(const std::string& name)
{
    std::ifstream file(name, std::ios::binary);
    if (!file)
    {
        throw ToolRefusal("cannot read " + name);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& name, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
    {
        throw std::runtime_error("cannot write " + name.string());
    }
}

std::pair<uint16_t, uint16_t> ReadSubsystem(const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
    {
        throw ToolRefusal("invalid --subsystem (VENDOR:DEVICE): \"" + text + "\"");
    }
    return {static_cast<uint16_t>(ParseToolNumber(text.substr(0, colon), 0xFFFF, "subsystem vendor")),
            static_cast<uint16_t>(ParseToolNumber(text.substr(colon + 1), 0xFFFF, "subsystem device"))};
}

uint32_t ReadBlockSize(const std::string& text, const std::string& what, uint32_t smallest)
{
    const auto size = static_cast<uint32_t>(ParseToolNumber(text, 0x200000, what));
    if (size < smallest || size % 512 != 0)
    {
        char least[16];
        std::snprintf(least, sizeof least, "%X", smallest);
        throw ToolRefusal(what + " must be a multiple of 200 (hex) of at least " + least + ": \"" +
                          text + "\"");
    }
    return size;
}

// The fields and tables of the first block, as the options ask.
void FillFirstBlock(testkit::CGpuImageBuilder& builder, const ToolArguments& arguments)
{
    const uint16_t deviceId = static_cast<uint16_t>(
        ParseToolNumber(ToolOption(arguments, "device-id", "0800"), 0xFFFF, "device ID"));
    SampleGpu(deviceId);
    const auto [vendor, device] = ReadSubsystem(ToolOption(arguments, "subsystem", "7E2B:0001"));
    builder.DeviceId(deviceId).HardwareDataArea(vendor, device).ModificationDate("12/10/26");

    testkit::InfoToken info;
    info.boardId = static_cast<uint16_t>(
        ParseToolNumber(ToolOption(arguments, "board-id", "0201"), 0xFFFF, "board ID"));
    info.version = static_cast<uint32_t>(
        ParseToolNumber(ToolOption(arguments, "version", "86041B00"), 0xFFFFFFFF, "version"));
    if (HasToolOption(arguments, "board-settings"))
    {
        const std::vector<uint8_t> settings =
            ParseToolBytes(ToolOption(arguments, "board-settings", ""), "--board-settings",
                           kMostBoardBytes);
        const testkit::PreservationEntry entry{static_cast<uint16_t>(builder.Place(settings)),
                                               static_cast<uint16_t>(settings.size()), 0, 0};
        info.preservationTable = static_cast<uint16_t>(builder.PreservationTable(0x11, {entry}));
    }
    builder.Info(info).Version(info.version, 2);
    if (HasToolOption(arguments, "guid"))
    {
        const std::string text = ToolOption(arguments, "guid", "");
        if (text.size() != 16)
        {
            throw ToolRefusal("invalid --guid (16 hex digits): \"" + text + "\"");
        }
        const uint64_t guid = ParseToolNumber(text, UINT64_MAX, "--guid");
        builder.GuidRecord(static_cast<uint32_t>(guid >> 32), static_cast<uint32_t>(guid));
    }
}

// An EFI block holding a driver whose build record gives `version`.
void AddUefiDriver(testkit::CGpuImageBuilder& builder, const std::string& version)
{
    const std::vector<uint8_t> driver =
        testkit::CUefiDriverBuilder()
            .BuildInfo(testkit::UefiBuildRecord({{"VER", version}, {"DAT", "10.12.2026"}, {"CHG", "00001"}}))
            .Build();
    builder.Block(testkit::CGpuImageBuilder::kEfi, 0x200).Payload(testkit::EfiPayload(driver));
}

// The blocks after the first (and after the certificate block of a signed
// image).
void AddLaterBlocks(testkit::CGpuImageBuilder& builder, const ToolArguments& arguments)
{
    if (HasToolOption(arguments, "board-block"))
    {
        builder.Block(0x85, 0x200).Payload(
            ParseToolBytes(ToolOption(arguments, "board-block", ""), "--board-block", kMostBoardBytes));
    }
    if (HasToolOption(arguments, "varnex-serial"))
    {
        const std::string serial = ToolOption(arguments, "varnex-serial", "");
        if (serial.empty() || serial.size() > kSerialLength)
        {
            throw ToolRefusal("invalid --varnex-serial (1 to 16 characters): \"" + serial + "\"");
        }
        const uint16_t deviceId = static_cast<uint16_t>(
            ParseToolNumber(ToolOption(arguments, "device-id", "0800"), 0xFFFF, "device ID"));
        const auto [vendor, device] = ReadSubsystem(ToolOption(arguments, "subsystem", "7E2B:0001"));
        const std::vector<uint8_t> store =
            testkit::CVarnexStoreBuilder()
                .Img("G001.0001", deviceId, kKorvanVendorId, device, vendor, true)
                .Obd("900-10800-0000-A01", "Korvan Sample Board", serial)
                .BuildRaw();
        builder.VarnexFlashBlock(store, store);
    }
    if (HasToolOption(arguments, "uefi-driver"))
    {
        AddUefiDriver(builder, ToolOption(arguments, "uefi-driver", ""));
    }
}

std::vector<uint8_t> MakeImage(const ToolArguments& arguments)
{
    const uint32_t size =
        ReadBlockSize(ToolOption(arguments, "size", "10000"), "--size", 0x1000);
    std::optional<uint32_t> initFromRom;
    if (HasToolOption(arguments, "init-from-rom"))
    {
        initFromRom = ReadBlockSize(ToolOption(arguments, "init-from-rom", ""), "--init-from-rom", 0x200);
    }
    if (HasToolOption(arguments, "sign"))
    {
        if (HasToolOption(arguments, "uefi-driver"))
        {
            throw ToolRefusal("--sign cannot cover a UEFI driver: its certificate signs the x86 "
                              "block only");
        }
        UseSampleKeys(ToolOption(arguments, "sign", ""));
        testkit::SignedImageSpec spec;
        spec.bodyLength = size;
        spec.initFromRom = initFromRom;
        spec.describeBody = [&](testkit::CGpuImageBuilder& builder) { FillFirstBlock(builder, arguments); };
        spec.laterBlocks = [&](testkit::CGpuImageBuilder& builder) { AddLaterBlocks(builder, arguments); };
        return testkit::BuildSignedImage(spec).bytes;
    }
    testkit::CGpuImageBuilder builder;
    if (initFromRom)
    {
        builder.InitFromRom(*initFromRom);
    }
    builder.Block(testkit::CGpuImageBuilder::kX86, size);
    FillFirstBlock(builder, arguments);
    AddLaterBlocks(builder, arguments);
    return builder.Build();
}

std::vector<uint8_t> MakePack(const ToolArguments& arguments)
{
    if (arguments.options.size() != arguments.options.count("pack"))
    {
        throw ToolRefusal("--pack takes no other option: make each IMAGE first");
    }
    testkit::CKrromWriter writer(0x103);
    writer.SelectionType(kFieldRangeSelection)
        .VFieldRegister({0x30, static_cast<uint8_t>(kStrapRegister), static_cast<uint8_t>(kStrapRegister >> 8),
                         static_cast<uint8_t>(kStrapRegister >> 16), 0, 0, 0, 0, 0, 0, 0, 0, 0})
        .VFieldField({kStrapField, static_cast<uint8_t>(kStrapFieldLow | (kStrapFieldHigh << 5)),
                      static_cast<uint8_t>((kStrapFieldHigh << 5) >> 8)});
    for (auto [at, end] = arguments.options.equal_range("pack"); at != end; ++at)
    {
        const size_t colon = at->second.rfind(':');
        const std::string file = at->second.substr(0, colon);
        uint32_t low = 0;
        uint32_t high = 0xF;
        if (colon != std::string::npos)
        {
            const std::string range = at->second.substr(colon + 1);
            const size_t dash = range.find('-');
            if (dash == std::string::npos)
            {
                throw ToolRefusal("invalid --pack range (LOW-HIGH): \"" + range + "\"");
            }
            low = static_cast<uint32_t>(ParseToolNumber(range.substr(0, dash), 0xF, "--pack low"));
            high = static_cast<uint32_t>(ParseToolNumber(range.substr(dash + 1), 0xF, "--pack high"));
            if (low > high)
            {
                throw ToolRefusal("--pack range " + range + " is empty");
            }
        }
        const std::vector<uint8_t> image = ReadFile(file);
        if (image.empty() ||
            !IROMImage::CreateFromBuffer(image.data(), static_cast<uint32_t>(image.size()))->IsValid())
        {
            throw ToolRefusal(file + " is no firmware image");
        }
        writer.Full(image, std::filesystem::path(file).filename().string())
            .Selection(kStrapField, low, high);
    }
    return writer.Build();
}

// A UEFI driver file: the driver's EFI block alone, as a UEFI option ROM
// holds it.
std::vector<uint8_t> MakeUefiDriverFile(const ToolArguments& arguments)
{
    testkit::CGpuImageBuilder builder;
    AddUefiDriver(builder, ToolOption(arguments, "efirom", ""));
    return builder.Build();
}

int Make(const ToolArguments& arguments)
{
    if (arguments.plain.size() != 1)
    {
        throw ToolRefusal("expected one OUTPUT file");
    }
    for (const char* alone : {"zx22", "efirom"})
    {
        if (HasToolOption(arguments, alone) && arguments.options.size() != 1)
        {
            throw ToolRefusal(std::string("--") + alone + " takes no other option");
        }
    }
    const std::vector<uint8_t> bytes = HasToolOption(arguments, "zx22")     ? SampleZX22Image()
                                       : HasToolOption(arguments, "pack")   ? MakePack(arguments)
                                       : HasToolOption(arguments, "efirom") ? MakeUefiDriverFile(arguments)
                                                                            : MakeImage(arguments);
    WriteFile(arguments.plain[0], bytes);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    return RunTool("makefirmware", Usage(), argc, argv, kOptions, Make);
}
