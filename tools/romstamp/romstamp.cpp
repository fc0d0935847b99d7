// romstamp: writes a firmware package and its control block into a copy of
// the packaged updater. The control block is found by its 24-byte pattern (8
// zero bytes and the marker); the package goes into the slot right before it.
//
//   romstamp [--flags HEX] [--subsystem VENDOR:DEVICE] [--board-id HEX]
//            [--name TEXT] PROGRAM PACKAGE

#include "app/PackageSlot.h"
#include "core/NewFile.h"
#include "core/UserFile.h"
#include "image/IROMImage.h"
#include "image/IROMMeld.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
const char kUsage[] =
    "Usage: romstamp [--flags HEX] [--subsystem VENDOR:DEVICE] [--board-id HEX] [--name TEXT]\n"
    "                PROGRAM PACKAGE\n"
    "Writes PACKAGE (a firmware image or a multi-image KRROM file) into the program file\n"
    "PROGRAM, a copy of romuvise, with the control-block fields given. Stamping a stamped\n"
    "program replaces its package.\n"
    "\n"
    "  --flags HEX             the package flags, added together (default 0):\n"
    "      0x8     ignore the adapter's subsystem IDs when matching the image\n"
    "      0x10    quiet: show only the banner and errors\n"
    "      0x20    count down instead of asking before each update\n"
    "      0x40    remove the EEPROM's write protection before writing\n"
    "      0x80    update only to a newer version\n"
    "      0x100   replace the board settings instead of keeping the adapter's\n"
    "      0x200   the package is a multi-image file (set by romstamp itself)\n"
    "      0x400   reboot the system after the updates\n"
    "      0x800   accept any version, older or newer\n"
    "      0x1000  merge the adapter's Varnex store into the image before writing\n"
    "      0x2000  update to a newer or the same version\n"
    "      Without 0x80 or 0x2000 any version is accepted, as with 0x800.\n"
    "  --subsystem VENDOR:DEVICE  also accept adapters with these subsystem IDs (hex),\n"
    "                          beside those the image carries\n"
    "  --board-id HEX          also accept adapters whose firmware carries this board ID,\n"
    "                          beside the image's own\n"
    "  --name TEXT             the package's file name the run shows (default flash.rom,\n"
    "                          at most 63 characters)";

struct StampRequest
{
    uint32_t flags = 0;
    uint16_t subsystemVendorId = kNoControlId;
    uint16_t subsystemDeviceId = kNoControlId;
    uint16_t boardId = kNoControlId;
    std::string name = "flash.rom";
    std::string program;
    std::string package;
};

uint32_t ParseHex(const std::string& text, uint32_t largest, const std::string& what)
{
    size_t used = 0;
    unsigned long value = 0;
    try
    {
        value = std::stoul(text, &used, 16);
    }
    catch (const std::exception&)
    {
        used = 0;
    }
    if (used == 0 || used != text.size() || value > largest)
    {
        throw std::runtime_error("invalid " + what + ": " + text);
    }
    return static_cast<uint32_t>(value);
}

StampRequest ParseArguments(int argc, char** argv)
{
    StampRequest request;
    std::vector<std::string> plain;
    for (int i = 1; i < argc; ++i)
    {
        const std::string word = argv[i];
        auto value = [&]() -> std::string
        {
            if (i + 1 >= argc)
            {
                throw std::runtime_error("missing value for " + word);
            }
            return argv[++i];
        };
        if (word == "--flags")
        {
            request.flags = ParseHex(value(), 0xFFFFFFFF, "flags");
        }
        else if (word == "--subsystem")
        {
            const std::string pair = value();
            const size_t colon = pair.find(':');
            if (colon == std::string::npos)
            {
                throw std::runtime_error("invalid subsystem (VENDOR:DEVICE): " + pair);
            }
            request.subsystemVendorId =
                static_cast<uint16_t>(ParseHex(pair.substr(0, colon), 0xFFFF, "subsystem vendor"));
            request.subsystemDeviceId =
                static_cast<uint16_t>(ParseHex(pair.substr(colon + 1), 0xFFFF, "subsystem device"));
        }
        else if (word == "--board-id")
        {
            request.boardId = static_cast<uint16_t>(ParseHex(value(), 0xFFFF, "board ID"));
        }
        else if (word == "--name")
        {
            request.name = value();
            if (request.name.size() >= sizeof(PackageControlBlock::fileName))
            {
                throw std::runtime_error("name longer than 63 characters: " + request.name);
            }
        }
        else if (word.starts_with("--"))
        {
            throw std::runtime_error("unknown option: " + word);
        }
        else
        {
            plain.push_back(word);
        }
    }
    if (plain.size() != 2)
    {
        throw std::runtime_error("expected PROGRAM and PACKAGE");
    }
    request.program = plain[0];
    request.package = plain[1];
    return request;
}

std::vector<uint8_t> ReadFile(const std::string& name, UserFileFormat format)
{
    UserFileContents file = ReadUserFile(name, format);
    switch (file.status)
    {
    case UserFileStatus::kRead:
        return std::move(file.bytes);
    case UserFileStatus::kCannotOpen:
    case UserFileStatus::kNotRegularFile:
        throw std::runtime_error("cannot open " + name);
    default:
        throw std::runtime_error("cannot read " + name);
    }
}

// Throws, with the reason, for a firmware image the updater would accept for
// an adapter and then fail to write: one whose blocks reach past its end.
void CheckImageCanBeWritten(IROMImage& image, const std::string& which)
{
    uint32_t declared = 0;
    try
    {
        declared = image.GetROMSize();
    }
    catch (const std::exception& error)
    {
        throw std::runtime_error(which + " cannot be written: " + error.what());
    }
    // A chain that runs past the end sizes as nothing or as more than held.
    const uint32_t held = image.GetLoadedSize();
    if (declared == 0 || declared > held)
    {
        throw std::runtime_error(which + " cannot be written: its blocks do not fit in the " +
                                 std::to_string(held) + " bytes it holds (the file is cut short)");
    }
}

// True for a multi-image file; throws when the package is neither that nor
// one firmware image.
bool ClassifyPackage(const std::vector<uint8_t>& package)
{
    if (package.empty() || package.size() > kMaxPackageLength)
    {
        throw std::runtime_error("package size " + std::to_string(package.size()) +
                                 " is outside 1 to " + std::to_string(kMaxPackageLength) +
                                 " bytes");
    }
    const uint32_t length = static_cast<uint32_t>(package.size());
    if (package.size() >= 5 && std::memcmp(package.data(), "KRROM", 5) == 0)
    {
        CRefPtr<IROMMeld> meld = IROMMeld::Create();
        meld->ReadFromBuffer(package.data(), length, nullptr);
        if (meld->GetImageCount() == 0)
        {
            throw std::runtime_error("the multi-image file holds no image");
        }
        for (uint32_t i = 0; i < meld->GetImageCount(); ++i)
        {
            CheckImageCanBeWritten(*meld->GetImage(i),
                                   "image " + std::to_string(i + 1) + " of the multi-image file");
        }
        return true;
    }
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(package.data(), length);
    if (!image->IsValid())
    {
        throw std::runtime_error("the package is neither a firmware image nor a multi-image file");
    }
    CheckImageCanBeWritten(*image, "the firmware image");
    return false;
}

// Room for the slot in front of the match and the whole control block from it.
bool HasSlotInFront(const std::vector<uint8_t>& program, size_t at)
{
    return at >= kPackageSlotSize && at + sizeof(PackageControlBlock) <= program.size();
}

// True when the match at `at` can be the control block and every other
// match lies in the package its slot holds: a stamped program's package may
// itself carry the pattern.
bool HoldsTheOtherMatches(const std::vector<uint8_t>& program, size_t at,
                          const std::vector<size_t>& matches)
{
    if (!HasSlotInFront(program, at))
    {
        return false;
    }
    const size_t package = at - kPackageSlotSize + 4;
    uint32_t length = 0;
    std::memcpy(&length, program.data() + package - 4, sizeof length);
    if (length > kMaxPackageLength)
    {
        return false;
    }
    return std::all_of(matches.begin(), matches.end(),
                       [&](size_t other)
                       {
                           return other == at || (other >= package &&
                                                  other + kControlBlockPatternSize <=
                                                      package + length);
                       });
}

// The offset of the one control block in the program file.
size_t FindControlBlock(const std::vector<uint8_t>& program)
{
    uint8_t pattern[kControlBlockPatternSize] = {};
    std::memcpy(pattern + 8, kControlBlockMarker, 15);
    pattern[23] = 0xFF;
    std::vector<size_t> matches;
    auto at = program.begin();
    const std::boyer_moore_horspool_searcher searcher(std::begin(pattern), std::end(pattern));
    while ((at = std::search(at, program.end(), searcher)) != program.end())
    {
        matches.push_back(static_cast<size_t>(at - program.begin()));
        ++at;
    }
    if (matches.empty())
    {
        throw std::runtime_error("the program holds no control block (not a romuvise program)");
    }
    if (matches.size() == 1)
    {
        if (!HasSlotInFront(program, matches.front()))
        {
            throw std::runtime_error("the control block has no package slot in front of it");
        }
        return matches.front();
    }
    std::vector<size_t> blocks;
    std::copy_if(matches.begin(), matches.end(), std::back_inserter(blocks),
                 [&](size_t candidate) { return HoldsTheOtherMatches(program, candidate, matches); });
    if (blocks.size() != 1)
    {
        throw std::runtime_error("the program holds more than one control block");
    }
    return blocks.front();
}

void Stamp(const StampRequest& request)
{
    // A package is one image or a KRROM file; the slot's bound is checked
    // once its kind is known.
    const std::vector<uint8_t> package = ReadFile(request.package, UserFileFormat::kMultiImage);
    const bool isPack = ClassifyPackage(package);
    std::vector<uint8_t> program = ReadFile(request.program, UserFileFormat::kProgram);
    const size_t controlAt = FindControlBlock(program);

    uint8_t* slot = program.data() + controlAt - kPackageSlotSize;
    std::fill(slot, slot + kPackageSlotSize, 0);
    const uint32_t length = static_cast<uint32_t>(package.size());
    std::memcpy(slot, &length, sizeof length);
    std::memcpy(slot + 4, package.data(), package.size());

    PackageControlBlock control{};
    std::memcpy(&control, program.data() + controlAt, sizeof control);
    control.subsystemVendorId = request.subsystemVendorId;
    control.subsystemDeviceId = request.subsystemDeviceId;
    control.boardId = request.boardId;
    control.flags = request.flags | (isPack ? uint32_t{kPackageIsPack} : 0u);
    std::memset(control.fileName, 0, sizeof control.fileName);
    std::memcpy(control.fileName, request.name.data(), request.name.size());
    std::memcpy(program.data() + controlAt, &control, sizeof control);

    // Written beside the program and renamed over it, so a failed write
    // leaves the program as it was; a link or anything else in the
    // program's place is refused.
    const OutputFileOutcome written =
        WriteOutputFile(request.program, {std::span<const uint8_t>(program)});
    if (written.status != OutputFileStatus::Written)
    {
        throw std::runtime_error("cannot replace " + request.program);
    }
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h"))
    {
        std::cout << kUsage << std::endl;
        return 0;
    }
    try
    {
        const StampRequest request = ParseArguments(argc, argv);
        Stamp(request);
        return 0;
    }
    // Memory running short is no fault of the command line: no usage then.
    catch (const std::bad_alloc& error)
    {
        std::cerr << "\nERROR: " << error.what() << std::endl;
        return 2;
    }
    catch (const std::exception& error)
    {
        std::cerr << "romstamp: " << error.what() << std::endl;
        std::cerr << kUsage << std::endl;
        return 1;
    }
    catch (...)
    {
        std::cerr << "\nERROR: unexpected failure of an unknown kind" << std::endl;
        return 2;
    }
}
