// Fuzzes the files the packaged updater reads: the package slot romstamp
// filled (its length word, then one image or a KRROM pack), backup files
// handed back for a restore, and the update records of an unfinished update
// with the firmware they saved. Any input must end in images, a refusal or an
// exception, never in a read outside the slot, the file or the record.
//
// The first byte picks what the rest is (by its value modulo 4):
//   0  the slot: the length word and the package, read as one image
//   1  the slot, read as a pack of images
//   2  a backup file, trailer included
//   3  an update record, read for the adapter the seeds name; when bit 2 of
//      the first byte is set the rest is the saved firmware instead, put in a
//      record of its own (so its checksum holds) and read back
// The saved firmware is then parsed as the updater and the engine do: its
// head as the adapter's head, the whole as the adapter's firmware.
//
// fuzz-link: romvise_testkit_image
// fuzz-max-len: 98304
// fuzz-seconds: 4

#include "app/KRUserFlashApp.h"
#include "app/PackageSlot.h"
#include "flasher/IFlasher.h"
#include "flasher/UpdateJournal.h"
#include "fuzz/FuzzSeeds.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace
{
enum EPackagedFile : uint8_t
{
    kSlotSingle = 0,
    kSlotPack = 1,
    kBackupFile = 2,
    kUpdateRecord = 3,
};
constexpr uint8_t kRecordOfContent = 4;

const UpdateRecordOwner kOwner = {0, 1, 0, 0, 0x10DE, 0x2204};

template <class F> void Try(F&& action)
{
    try
    {
        action();
    }
    catch (const std::exception&)
    {
    }
}

CKRUserFlashApp& App()
{
    static char name[] = "romuvise";
    static char* argv[] = {name, nullptr};
    static CKRUserFlashApp app(1, argv);
    return app;
}

// What the run reads of an image it was handed.
void ReadImage(IROMImage* image)
{
    Try([&] { image->GetROMSize(); });
    Try([&] { image->IsValid(); });
    Try([&] { image->GetBoardID(); });
    Try([&] { return image->GetVersionString(1) + image->GetProductName(); });
    Try([&] { return image->GetDeviceID() + image->GetSubsystemVendorID(); });
    Try(
        [&]
        {
            for (int32_t block = 0, guard = 0; block >= 0 && guard < 64; ++guard)
            {
                image->Sum8(0, image->GetPCIBlockLength(block));
                block = image->NextPCIBlock(block);
            }
        });
}

// Packs are read up to this length (the slot's length word): each image of
// a pack still holds a whole 3 MiB image buffer, so a longer pack of tiny
// images, even one of zeros behind a short input, would only measure the
// fuzzer's memory limit.
constexpr uint32_t kLongestPack = 2048;

uint32_t LengthWord(std::span<const uint8_t> slot)
{
    uint32_t length = 0;
    std::memcpy(&length, slot.data(), std::min<size_t>(slot.size(), sizeof length));
    return length;
}

void ReadSlot(std::span<const uint8_t> bytes, bool isPack)
{
    if (bytes.empty() || (isPack && LengthWord(bytes) > kLongestPack))
    {
        return;
    }
    // The slot is 3 MiB: one, kept between inputs, with what the last input
    // wrote cleared again.
    static const std::unique_ptr<PackageStore> store = [] {
        auto made = std::make_unique<PackageStore>();
        std::memset(made.get(), 0, sizeof(PackageStore));
        return made;
    }();
    static size_t used = 0;
    std::memset(store->slot, 0, used);
    used = std::min<size_t>(bytes.size(), sizeof store->slot);
    std::memcpy(store->slot, bytes.data(), used);
    std::vector<CRefPtr<IROMImage>> images;
    SelectionCriteria selection;
    Try(
        [&]
        {
            const std::span<const uint8_t> package = GetPackageBytes(*store);
            App().LoadPackagedImages(images, GetBoardDatabase(), package.data(),
                                     static_cast<uint32_t>(package.size()), isPack, selection);
        });
    for (CRefPtr<IROMImage>& image : images)
    {
        ReadImage(image.get());
    }
}

// The input as a file that lives in memory only.
void ReadBackupFile(std::span<const uint8_t> bytes)
{
    const int fd = memfd_create("image000.bkr", 0);
    if (fd < 0)
    {
        return;
    }
    if (bytes.empty() || write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
    {
        Try(
            [&]
            {
                CRefPtr<IROMImage> image =
                    App().CheckRestoreImage("/proc/self/fd/" + std::to_string(fd));
                ReadImage(image.get());
            });
    }
    close(fd);
}

void ParseSavedContent(const std::vector<uint8_t>& saved)
{
    Try(
        [&]
        {
            const auto head = static_cast<uint32_t>(std::min<size_t>(saved.size(), kImageHeadSize));
            CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(saved.data(), head);
            image->Parse();
            ReadImage(image.get());
        });
    Try(
        [&]
        {
            CRefPtr<IROMImage> image =
                IROMImage::CreateFromBuffer(saved.data(), static_cast<uint32_t>(saved.size()));
            image->Parse();
            ReadImage(image.get());
        });
}

void ReadRecord(std::span<const uint8_t> bytes, bool recordOfContent)
{
    std::vector<uint8_t> record;
    if (recordOfContent)
    {
        record = EncodeUpdateRecord(kOwner, bytes);
        bytes = record;
    }
    const UpdateRecordReading reading = DecodeUpdateRecord(bytes, kOwner);
    if (reading.record)
    {
        ParseSavedContent(reading.record->before);
        if (reading.record->target)
        {
            ParseSavedContent(*reading.record->target);
        }
    }
}

std::vector<uint8_t> Firmware(uint16_t boardId)
{
    testkit::InfoToken info;
    info.boardId = boardId;
    info.version = 0x86041C00;
    return testkit::CGpuImageBuilder()
        .Block(testkit::CGpuImageBuilder::kX86, 0x2000)
        .DeviceId(0x2204)
        .HardwareDataArea(0x7E2B, 0x0001)
        .Info(info)
        .Version(info.version, 2)
        .Block(testkit::CGpuImageBuilder::kEfi, 0x800)
        .Build();
}

std::vector<uint8_t> Tagged(uint8_t kind, const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> input = {kind};
    input.insert(input.end(), bytes.begin(), bytes.end());
    return input;
}

std::vector<uint8_t> Slot(const std::vector<uint8_t>& package)
{
    const auto length = static_cast<uint32_t>(package.size());
    std::vector<uint8_t> slot(4);
    std::memcpy(slot.data(), &length, sizeof length);
    slot.insert(slot.end(), package.begin(), package.end());
    return slot;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::vector<uint8_t> firmware = Firmware(0x0201);
    std::vector<uint8_t> backup = firmware;
    const uint8_t* trailer = GetPackageStore().slot;
    backup.insert(backup.end(), trailer, trailer + kBackupTrailerSize);
    const std::vector<uint8_t> small =
        testkit::CGpuImageBuilder().Block(testkit::CGpuImageBuilder::kX86, 0x400).Build();
    const std::vector<uint8_t> pack =
        testkit::CKrromWriter()
            .Full(small, "A", "Board A")
            .Delta(0, static_cast<uint32_t>(small.size()),
                   testkit::DeltaRecords({{0x10, {1, 2}}}), "B", "Board B")
            .Build();
    return {
        {"slot-single-image", Tagged(kSlotSingle, Slot(firmware))},
        {"slot-pack", Tagged(kSlotPack, Slot(pack))},
        {"backup-file", Tagged(kBackupFile, backup)},
        {"update-record", Tagged(kUpdateRecord, EncodeUpdateRecord(kOwner, firmware))},
        {"update-record-content", Tagged(kUpdateRecord | kRecordOfContent, firmware)},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 4)
    {
    case kSlotSingle:
    case kSlotPack:
        ReadSlot(rest, data[0] % 4 == kSlotPack);
        break;
    case kBackupFile:
        ReadBackupFile(rest);
        break;
    default:
        ReadRecord(rest, (data[0] & kRecordOfContent) != 0);
        break;
    }
    return 0;
}
