#pragma once
// The adapter of the Varnex command tests: firmware whose primary store
// holds IMG, OBD, OEM, BBO, PBL, BBX and ECC and whose backup store holds
// IMG and PBL, the stores read back from its chip, and a table runner for
// the commands that change the store.

#include "EngineeringRig.h"

#include "image/IROMImage.h"
#include "sim/SimGpu.h"
#include "sim/SimSpiFlash.h"
#include "testkit/varnex/VarnexFirmware.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct StoreFacts
{
    uint8_t bboId = 7;
    uint8_t bboRevision = 2;
    uint16_t bboValue = 0xBEEF;
    std::vector<uint8_t> oem{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::vector<uint8_t> bbx{1, 2, 3};
    std::vector<uint8_t> ecc{9, 9, 9, 9};
    std::vector<VarnexPolicyEntry> policies;
    std::string productNumber = "900-10800-0000-A01";
};

inline std::vector<uint8_t> PrimaryStore(const StoreFacts& facts = {})
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd(facts.productNumber, "Board Of The Adapter", "SN-ADAPTER-42")
        .Oem(facts.oem)
        .Ppo(facts.policies)
        .Bbo(facts.bboId, facts.bboRevision, facts.bboValue)
        .Pbl(2, 1, {0x1000}, {0x2000})
        .Generic("BBX", facts.bbx)
        .Ecc(facts.ecc)
        .BuildRaw();
}

inline std::vector<uint8_t> BackupStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Pbl(2, 1, {0x1000}, {0x2000})
        .BuildRaw();
}

inline const std::vector<uint8_t>& FirmwareWithStores()
{
    static const std::vector<uint8_t> firmware =
        testkit::WithVarnexBlock(RigFirmware(), PrimaryStore(), BackupStore());
    return firmware;
}

inline CSimSpiFlash& ChipOf(CEngineeringRig& rig)
{
    auto* gpu = dynamic_cast<CSimGpu*>(rig.Machine().FindDevice("gpu 01:00.0"));
    return dynamic_cast<CSimSpiFlash&>(*gpu->Chip());
}

// The objects of a store by tag, header and body, the directory left out
// (its date follows the clock of the run that wrote it).
using ObjectMap = std::map<std::string, std::vector<uint8_t>>;

inline ObjectMap ObjectsOf(const CVarnexImage& store)
{
    ObjectMap objects;
    for (const CVarnexImageObject* object : store.GetObjects())
    {
        const VarnexTag& tag = object->GetTag();
        const std::string name(tag.bytes.begin(), tag.bytes.end());
        if (name != "ROM")
        {
            objects[name] = object->GetBytes();
        }
    }
    return objects;
}

inline ObjectMap ObjectsOf(const std::vector<uint8_t>& raw)
{
    return ObjectsOf(CVarnexImage(raw));
}

// The store of the block "IR" (or "IB") of the firmware the chip holds.
inline ObjectMap StoreOnChip(CEngineeringRig& rig, uint16_t blockType)
{
    const std::vector<uint8_t> chip = ChipOf(rig).Contents().Read(0, ChipOf(rig).SizeInBytes());
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    const int32_t offset = image->FindNBSIObject(blockType);
    if (offset < 0)
    {
        return {};
    }
    std::vector<uint8_t> block(image->GetNBSIObjectLength(blockType));
    image->ReadBlock(block.data(), offset, static_cast<uint32_t>(block.size()));
    return ObjectsOf(CVarnexImage(block));
}

inline constexpr uint16_t kPrimaryBlock = 0x4952; // "IR"
inline constexpr uint16_t kBackupBlock = 0x4942;  // "IB"

inline std::vector<std::string> WithFolder(const std::vector<std::string>& words,
                                           const std::string& folder)
{
    std::vector<std::string> result;
    for (std::string word : words)
    {
        if (const size_t at = word.find('@'); at != std::string::npos)
        {
            word.replace(at, 1, folder);
        }
        result.push_back(word);
    }
    return result;
}

inline std::vector<uint8_t> FileBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::string FileText(const std::filesystem::path& path)
{
    const std::vector<uint8_t> bytes = FileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// One run of a command that changes the store, on a fresh adapter with the
// files the cases name in its scratch folder.
struct StoreCase
{
    std::vector<std::string> arguments; // "@" stands for the scratch folder
    std::string keys;
    int exit;
    std::string shown;               // in standard output or error
    std::optional<StoreFacts> after; // none: nothing written
};

inline void RunStoreCases(const std::vector<StoreCase>& cases, bool lowPower = false)
{
    for (const StoreCase& c : cases)
    {
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, lowPower);
        rig.folder.WriteBytes("four.oem", std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4});
        rig.folder.WriteBytes("long.oem", std::vector<uint8_t>(9, 0xA5));
        rig.folder.WriteBytes("junk.fs", std::vector<uint8_t>(4096, 0x5A));
        rig.folder.WriteBytes("raw.fs", PrimaryStore());
        rig.folder.WriteBytes("new.fs", testkit::CVarnexStoreBuilder()
                                            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
                                            .Bbo(5, 5, 0x5555)
                                            .BuildFileSystem());
        rig.folder.WriteBytes("other.fs", testkit::CVarnexStoreBuilder()
                                              .Img("G001.0001", 0x0999, 0x7E2B, 0x0001, 0x7E2B)
                                              .Bbo(5, 5, 0x5555)
                                              .BuildFileSystem());
        std::vector<uint8_t> big(12289, 0);
        std::copy_n("ROM", 3, big.begin());
        rig.folder.WriteBytes("big.vnx", big);
        rig.folder.WriteBytes("f.rom", FirmwareWithStores());
        const std::vector<std::string> arguments =
            WithFolder(c.arguments, rig.folder.Path().string());
        SCOPED_TRACE(::testing::PrintToString(arguments) + " keys " + c.keys);
        EXPECT_EQ(rig.Run(arguments, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        if (!c.after)
        {
            EXPECT_TRUE(ChipOf(rig).Erases().empty());
            EXPECT_TRUE(ChipOf(rig).Programs().empty());
            continue;
        }
        EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore(*c.after)));
        EXPECT_EQ(StoreOnChip(rig, kBackupBlock), ObjectsOf(BackupStore()));
    }
}
