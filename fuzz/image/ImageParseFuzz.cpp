// Fuzzes image creation from bytes, everything that walks the PCI block
// chain, and the VBIOS table readers and edits: any input must end in a value
// or in an exception, never in a read outside the buffer or an endless walk.
//
// An input is the image itself, unless its first byte is 1, 3, 5 or 7 (no
// image starts so): then the rest is a list of byte patches (16-bit offset,
// value) applied to a complete builder image that carries every table the
// readers know, so that even a short input reaches deep into the chain and the
// tables. The seed corpus holds the test kit's images of every kind and the
// real option ROMs of the machine, so whole images are mutated from the start.
//
// Every input walks the chain; of the heavier families behind it (chain edits,
// table edits, table readers, VField text, block inserts, forced kinds,
// private chain) a hash of the input picks up to three, so one run costs a
// fraction of all of them while the corpus as a whole reaches every family.
// The same bytes always pick the same families, so a crash reproduces.
//
// The longest input is the longest seed image the builders make (96 KiB,
// testkit::kLongestSeedImage): longer inputs only spend time copying and
// hashing bytes no reader reaches.
//
// fuzz-max-len: 98304

#include "fuzz/FuzzSeeds.h"
#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/IVFieldTable.h"
#include "image/PreservationTable.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/SeedImages.h"
#include "testkit/image/UefiBuilder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace
{
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

// The BIT tokens and the information fields they hold.
void ReadBitTokens(IROMImage* image)
{
    for (uint8_t id : {'i', 'B', 'I', 'V', 'T', 'L', 'M', 'S', 'C', 'p', 'U'})
    {
        Try([&] { image->GetBITTokenData(id, 0, 0); });
        Try([&] { image->GetBITTokenData(id, 2, 35); });
    }
    Try([&] { image->GetInfoFlag5(); });
    Try([&] { image->GetInfoPointer7Value(); });
    Try([&] { image->GetBoardID(); });
    Try([&] { image->GetBuildDate(); });
    Try([&] { image->GetInfoByte35(); });
    Try([&] { image->GetHierarchyIDName(); });
    Try([&] { return image->GetChipSKU() + image->GetChipSKURevision() + image->GetProject(); });
    Try([&] { return image->GetProjectSKU() + image->GetCDP() + image->GetProjectRevision(); });
    Try([&] { image->GetInfoByte66(); });
    Try([&] { image->GetAlternateBoardID(); });
    Try([&] { image->GetBuildGUID(); });
    Try([&] { image->GetInfoDword88(); });
    Try([&] { image->GetBIOSDataFlag32(); });
    Try([&] { image->IsCoprocBuild(); });
    Try([&] { image->GetHeaderFlag48(); });
}

// The init tables, VFields and devinit scripts, and the TMDS and LVDS tables.
void ReadInitTables(IROMImage* image)
{
    for (uint8_t index : {0, 1, 0xFF})
    {
        Try([&] { image->GetInitTableWordEntry(index); });
        Try([&] { image->GetInitTablePairEntry(index); });
        Try([&] { image->GetInitTableTripleEntry(index); });
        Try([&] { image->GetInitTable5ByteEntry(index); });
        Try([&] { image->GetInitTable9ByteEntry(index); });
        Try([&] { image->GetInitTableV1WordEntry(index); });
        Try([&] { image->GetVFieldRegister(index); });
        Try([&] { image->GetVField(index); });
        Try([&] { image->CheckInitScripts(index); });
    }
    Try([&] { image->GetInitTableOffset14(); });
    Try([&] { image->GetDevinitSignatureType(); });
    Try(
        [&]
        {
            int32_t scripts = -1;
            int32_t tables = -1;
            image->GetDevinitOffsets(scripts, tables);
        });
    Try([&] { image->LoadTMDSTable(nullptr); });
    Try([&] { image->LoadLVDSTable(nullptr); });
    for (uint32_t entry = 0; entry < 3; ++entry)
    {
        for (uint32_t link = 0; link < 9; ++link)
        {
            Try([&] { image->GetTMDSEntryValue(entry, link); });
            Try([&] { image->GetLVDSEntryValue(entry, link); });
        }
    }
    Try(
        [&]
        {
            int32_t cursor = 0;
            for (int i = 0; i < 8 && image->NextRange(cursor); ++i)
            {
            }
        });
    Try([&] { image->MapExtendedOffset(0x20000); });
}

// The preservation table and the data and registers it keeps.
void ReadPreservation(IROMImage* image)
{
    Try([&] { image->GetPreservationEntryCount(); });
    Try([&] { image->GetPreservationEntryFlags(0); });
    Try([&] { image->GetPreservationControlByte(); });
    Try([&] { image->GetPreservationHeaderWord4(); });
    Try([&] { image->GetPreservationHeaderByte6(); });
    Try([&] { image->GetPreservationHeaderBlockOffset(); });
    Try(
        [&]
        {
            PreservedDataRecord record;
            record.dataId = 1;
            image->FindPreservedData(image, record);
        });
    for (uint32_t reg : {0u, 0x1000u, 0x101000u})
    {
        Try(
            [&]
            {
                uint32_t value = 0;
                image->GetPreservedRegisterValue(image, 3, reg, value);
            });
    }
}

// The IDs, versions, texts and the other tables the image points to.
void ReadIdentity(IROMImage* image)
{
    Try([&]
        { return image->GetVendorID() + image->GetDeviceID() + image->GetDeviceIDListEntry(1); });
    Try([&] { return image->GetSubsystemVendorID() + image->GetSubsystemDeviceID(); });
    Try([&] { return image->GetVersionString(0) + image->GetVersionString(1); });
    Try(
        [&] {
            return image->GetVersionNumber() + image->GetVersionByte(0) + image->GetVersionByte(4);
        });
    Try([&] { return image->GetGPUDeviceID() + image->GetInfoWord38(); });
    Try(
        [&] {
            return image->GetInfoFlag37() || image->GetInfoFlag5Bit4() || image->GetUEFITokenFlag();
        });
    Try([&] { return image->GetInfoFlag68Bit0() || image->GetInfoFlag68Bit1(); });
    Try([&] { return image->GetHeaderFlag49() || image->NeedsWriteProtectRemoval(); });
    Try([&] { image->GetModificationDate(); });
    Try([&] { image->HasIEEE1394GUID(); });
    Try([&] { image->GetIEEE1394GUIDSize(); });
    Try([&] { return image->GetSignOnMessage() + image->GetOEMString() + image->GetVendorName(); });
    Try([&] { return image->GetProductName() + image->GetProductRevision(); });
    Try([&] { image->FindPMID(); });
    Try(
        [&]
        {
            std::vector<uint32_t> entries;
            image->ReadI2CDeviceList(entries);
        });
    Try([&] { image->UpdateDisplayConfig(); });
    Try([&] { image->GetPLLInfo(1); });
    Try([&] { image->GetVarnexVersion(); });
    Try([&] { image->GetRuntimePackWord(); });
    Try([&] { image->GetRuntimePackRecord(1); });
    Try([&] { image->FindKestrixUcodeEntry(1); });
}

// Every reader of the BIT, its tokens and the tables they point to.
void ReadTables(IROMImage* image)
{
    ReadBitTokens(image);
    ReadInitTables(image);
    ReadPreservation(image);
    ReadIdentity(image);
}

// The edits, on an image of their own.
void EditTables(IROMImage* image)
{
    CRefPtr<IPreserveTune> tune = IPreserveTune::CreateForStraps(0x3C);
    Try([&] { tune->GetLowestPreservedOffset(image); });
    Try(
        [&]
        {
            PreservedRegisterTune record;
            record.registerAddress = 0x1000;
            record.value = 1;
            record.lowestBit = 4;
            record.highestBit = 7;
            record.operation = 3;
            tune->TuneRegister(image, record, nullptr);
        });
    Try(
        [&]
        {
            const uint8_t source[16] = {};
            PreservedDataTune record{1, 0, 16};
            tune->TuneData(image, record, source, nullptr);
        });
    Try([&] { image->SetStraps(1, 2, 3, 4, 5, 6); });
    Try([&] { image->SetGUIDSource(1); });
    Try([&] { image->SetIEEE1394GUID(1, 2); });
    Try([&] { image->SetRuntimePackWord(7); });
    Try([&] { image->UpdateBexorIFR(true); });
    Try([&] { image->CreateBexorIFR(1); });
    Try([&] { image->StripIFR(); });
}

// The image with every table, the input's patches applied; a set bit 1 of
// the mode byte picks the one with an init-from-ROM segment, bit 2 cuts the
// image at the last patch.
std::vector<uint8_t> PatchedImage(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> plain = testkit::ImageWithEveryTable(false);
    static const std::vector<uint8_t> withSegment = testkit::ImageWithEveryTable(true);
    std::vector<uint8_t> image = (data[0] & 2) != 0 ? withSegment : plain;
    size_t cut = image.size();
    for (size_t i = 1; i + 3 <= size; i += 3)
    {
        const size_t at = (data[i] | data[i + 1] << 8) % image.size();
        image[at] = data[i + 2];
        cut = at;
    }
    if ((data[0] & 4) != 0)
    {
        image.resize(cut);
    }
    return image;
}
// Appends and inserts, on a copy, a well-formed block and one cut from the
// input (whose length fields may disagree with its size).
void EditChain(IROMImage* image, const std::vector<int32_t>& blocks, const uint8_t* bytes,
               size_t length)
{
    static const std::vector<uint8_t> wellFormed =
        testkit::CGpuImageBuilder().Block(testkit::CGpuImageBuilder::kX86Extension, 0x800).Build();
    const std::vector<uint8_t> cut(bytes, bytes + std::min<size_t>(length, 0x800));
    CRefPtr<IROMImage> copy;
    Try([&] { copy = IROMImage::Clone(image); });
    if (!copy)
    {
        return;
    }
    for (const std::vector<uint8_t>* block : {&wellFormed, &cut})
    {
        const auto size = static_cast<uint32_t>(block->size());
        Try([&] { copy->AddPCIBlock(block->data(), size, length % 2 == 0); });
        const int32_t at = blocks.empty() ? 0 : blocks[length % blocks.size()];
        Try([&] { copy->InsertPCIBlock(at, block->data(), size, length % 3 == 0); });
        Try([&] { copy->CheckOffsetModeChain(); });
        Try([&] { copy->GetROMSize(); });
    }
}

// A kind the factory may not pick for these bytes, forced: each input gets
// one, by its length, so that every kind sees every shape of input.
void ConstructEveryKind(const uint8_t* bytes, size_t length)
{
    const int32_t kinds[] = {kROMImageBridgeZX22, kROMImageBridgePLX8747, kROMImageGPUEFI};
    for (int32_t type : {kinds[length % std::size(kinds)]})
    {
        Try(
            [&]
            {
                CRefPtr<IROMImage> image = IROMImage::Create(type);
                image->WriteBlock(bytes, 0, static_cast<uint32_t>(length));
                image->Parse();
                image->IsValid();
                image->GetROMSize();
                image->GetTypeName();
                image->NextPCIBlock(0);
            });
    }
}

// The families that may run behind the chain walk.
enum EImageFuzzFamily : uint32_t
{
    kChainEdits,
    kTableEdits,
    kTableReads,
    kVFieldText,
    kBlockInserts,
    kForcedKinds,
    kPrivateChain,
    kImageFuzzFamilyCount
};

struct FamilySet
{
    uint32_t bits = 0;
    bool Has(EImageFuzzFamily family) const { return (bits >> family & 1) != 0; }
};

// Three picks by a hash of the whole input (a pick may repeat): one to three
// families. The library's hash is not instrumented, so it adds no edges of
// its own and costs little beside the families.
FamilySet FamiliesFor(const uint8_t* data, size_t size)
{
    size_t hash =
        std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(data), size));
    FamilySet set;
    for (int pick = 0; pick < 3; ++pick)
    {
        set.bits |= 1u << (hash % kImageFuzzFamilyCount);
        hash /= kImageFuzzFamilyCount;
    }
    return set;
}
// The readers of the PCI block chain.
void ReadChain(IROMImage* image)
{
    Try([&] { image->GetROMSize(); });
    Try([&] { image->CheckOffsetModeChain(); });
    Try([&] { image->DumpPCIBlocks(1); });
    Try([&] { image->DumpPCIBlocks(3); });
    Try([&] { image->GetOffsetNewPCIBlock(); });
    Try([&] { image->FindNthPCIBlock(0x70, 1); });
    Try([&] { image->HasVarnexBlock(); });
    Try([&] { image->HasVarnexBackupBlock(); });
    Try([&] { image->GetNBSIObjectLength(0x4942); });
    Try(
        [&]
        {
            std::vector<uint8_t> payload;
            image->ReadPCIBlockPayload(payload, 0x03);
        });
    Try([&] { image->IsPCIROM(); });
    Try([&] { image->GetTypeName(); });
    Try([&] { image->GetIFRImageSize(); });
}

// The offsets of the chain's first 64 blocks.
std::vector<int32_t> BlockOffsets(IROMImage* image)
{
    std::vector<int32_t> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 64; block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    return blocks;
}

void FixAndRemoveBlocks(IROMImage* image, const std::vector<int32_t>& blocks)
{
    for (int32_t block : blocks)
    {
        Try([&] { image->FixPCIBlockChecksum(block); });
    }
    if (!blocks.empty())
    {
        Try([&] { image->RemovePCIBlock(blocks.back()); });
    }
}

// The readers run behind the edits when both are picked: an edit that fails
// leaves the tables as they were, one that succeeds gives the readers its
// result.
void EditAndReadTables(IROMImage* image, const FamilySet& families)
{
    CRefPtr<IROMImage> edited;
    if (families.Has(kTableEdits))
    {
        Try([&] { edited = IROMImage::Clone(image); });
        if (edited)
        {
            EditTables(edited.get());
        }
    }
    if (families.Has(kTableReads))
    {
        ReadTables(edited ? edited.get() : image);
    }
}

// VField tables are text files of a few kilobytes.
void ReadVFieldText(const uint8_t* data, size_t size)
{
    Try(
        [&]
        {
            const size_t textLength = std::min<size_t>(size, 0x1000);
            std::istringstream stream(std::string(reinterpret_cast<const char*>(data), textLength));
            CRefPtr<IVFieldTable> table = IVFieldTable::Create();
            table->ReadFromStream(stream, nullptr);
            table->Validate();
        });
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    std::vector<FuzzSeed> seeds;
    for (testkit::NamedBytes& image : testkit::SeedImages())
    {
        seeds.push_back({image.name, std::move(image.bytes)});
    }
    // A UEFI driver file, which the factory reads by its support list.
    seeds.push_back({"uefi-driver-file-support-list",
                     testkit::CUefiDriverBuilder()
                         .BuildInfo(testkit::UefiBuildRecord({{"VER", "3.0"}}))
                         .Extra(testkit::GpuSupportList(2, 1, {{0x2204, 0x0E2B, 1000}}, 6))
                         .Build()});
    // Patches on the image with every table, with and without its segment.
    seeds.push_back({"patches", {1, 0x04, 0x00, 0x12, 0x02, 0x01, 0x80}});
    seeds.push_back({"patches-init-from-rom", {3, 0x00, 0x02, 0x55}});
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kImageBufferSize)
    {
        return 0;
    }
    std::vector<uint8_t> patched;
    const uint8_t* bytes = data;
    size_t length = size;
    if (size > 0 && data[0] < 8 && (data[0] & 1) != 0)
    {
        patched = PatchedImage(data, size);
        bytes = patched.data();
        length = patched.size();
    }
    CRefPtr<IROMImage> image;
    Try([&] { image = IROMImage::CreateFromBuffer(bytes, static_cast<uint32_t>(length)); });
    if (!image)
    {
        return 0;
    }
    ReadChain(image.get());
    const std::vector<int32_t> blocks = BlockOffsets(image.get());
    const FamilySet families = FamiliesFor(data, size);
    if (families.Has(kChainEdits))
    {
        FixAndRemoveBlocks(image.get(), blocks);
    }
    EditAndReadTables(image.get(), families);
    if (families.Has(kVFieldText))
    {
        ReadVFieldText(data, size);
    }
    if (families.Has(kBlockInserts))
    {
        EditChain(image.get(), blocks, bytes, length);
    }
    if (families.Has(kForcedKinds))
    {
        ConstructEveryKind(bytes, length);
    }
    if (families.Has(kPrivateChain))
    {
        Try([&] { image->ConvertToPrivateChain(); });
        Try([&] { IROMImage::Clone(image.get()); });
    }
    return 0;
}
