// Fuzzes image creation from bytes, everything that walks the PCI block
// chain, and the VBIOS table readers and edits: any input must end in a value
// or in an exception, never in a read outside the buffer or an endless walk.
//
// An input whose first byte is even is the image itself. An odd first byte
// makes the rest a list of byte patches (16-bit offset, value) applied to a
// complete builder image that carries every table the readers know, so that
// even a short run reaches deep into the chain and the tables instead of
// stopping at a missing block mark.

#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/IVFieldTable.h"
#include "image/PreservationTable.h"
#include "testkit/image/GpuImageBuilder.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
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

// Every reader of the BIT, its tokens and the tables they point to.
void ReadTables(IROMImage* image)
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

// A GPU image with the chain's every kind of block and every table a reader
// follows: hardware data area, GUID record, command list, BIT with its
// tokens, init and devinit tables, preservation table with init scripts,
// VField, TMDS, LVDS, PLL and microcode tables, DCB, PMID and a Varnex block.
std::vector<uint8_t> RichImage(bool initFromRom)
{
    using testkit::CGpuImageBuilder;
    using testkit::Join;
    using testkit::Words;
    CGpuImageBuilder b;
    if (initFromRom)
    {
        b.InitFromRom(0x200);
    }
    b.Block(CGpuImageBuilder::kX86, 0x8000)
        .Kpde()
        .Patch(0x4C, {0x00, 0x80})
        .CommandList({0x08001000, 1, 0x08002003, 2, 3})
        .HardwareDataArea(0x7E2B, 0x1454, {1, 2, 3, 4, 5, 6})
        .GuidRecord(0x11223344, 0x55667788)
        .ModificationDate("12/31/99")
        .FlagByte49(0x01)
        .Pmid()
        .Dcb({0x11111111, 0x22222222})
        .BoardTexts("Sign-on", "OEM", "Korvan", "Board", "A1")
        .VFieldTables({{0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, {{7, 0xE4, 0x00}});

    const std::vector<uint8_t> script = Join({
        testkit::ScriptWriteRun(0x1000, {1, 2}),
        testkit::ScriptWrite(0x3000, 5),
        testkit::ScriptStrapSelect(0x0C, 2, 0x5000, {1, 2, 3, 4}),
        testkit::ScriptRamConfig(0x6000, 4, 2, {1, 2, 3, 4, 5, 6}),
        testkit::ScriptWriteAB(0x4000, 1, 2),
    });
    const uint32_t scripts = b.Place(script);
    const uint32_t dataBlock = b.Place(std::vector<uint8_t>(16, 0x11));
    const uint32_t strapTable = b.Place({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0});
    b.Token('M', 1, Join({{0, 0, 3}, Words({strapTable})}));
    testkit::InfoToken info;
    info.version = 0x86041B00;
    info.boardId = 0x0E2B;
    info.gpuDeviceId = 0x2204;
    info.pointer7Value = 0xAE6CEF;
    info.preservationTable = static_cast<uint16_t>(b.PreservationTable(
        0x11,
        {{static_cast<uint16_t>(scripts), static_cast<uint16_t>(script.size()), 0x40, 0},
         {static_cast<uint16_t>(dataBlock), 16, 0x90, 1},
         {0, 0, 0x80, 0}},
        2));
    b.Info(info);
    testkit::BiosDataToken bios;
    bios.version = 0x86041B00;
    bios.appliedRecord = static_cast<uint16_t>(b.Place({1, 2, 3, 4}));
    bios.recordCapacity = 4;
    bios.appliedCount = 2;
    b.BiosData(bios);

    const uint32_t words = b.Place(Words({0x1111, 0x2222}));
    const uint32_t pairs = b.Place(std::vector<uint8_t>(16, 2));
    const uint32_t scriptTable = b.Place(Words({0x0600, 0x0700, 0, 0, 0x0102}));
    const uint32_t devinit = b.Place({0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0});
    b.Token('I', 1,
            Words({scriptTable, words, pairs, pairs, pairs, pairs, 0, 0x0ABC, words, 0, scriptTable,
                   0, devinit, 0}));
    const uint32_t links = b.Place(std::vector<uint8_t>(32, 0x22));
    b.Token('T', 0, Words({links, links}));
    b.Token('L', 0, Words({links}));
    const uint32_t pllRecord = b.Place(std::vector<uint8_t>(16, 0x33));
    const uint32_t pllTable = b.Place(Join({{0x40, 5, 3, 1, 0, 1}, Words({pllRecord})}));
    b.Token('C', 2, Join({Words({pllTable}), {0, 0}}));
    b.UcodeTable({{1, b.Place(std::vector<uint8_t>(8, 0x44))}}, 8);

    b.Block(CGpuImageBuilder::kEfi, 0x800)
        .VarnexBlock({'R', 'O', 'M', 0, 1, 2, 3}, {'R', 'O', 'M'})
        .Block(CGpuImageBuilder::kX86Extension, 0x400);
    return b.Build();
}

// The seed image with the input's patches applied; a set bit 1 of the mode
// byte picks the seed with an init-from-ROM segment, bit 2 cuts the image at
// the last patch.
std::vector<uint8_t> PatchedImage(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> plain = RichImage(false);
    static const std::vector<uint8_t> withSegment = RichImage(true);
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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kImageBufferSize)
    {
        return 0;
    }
    std::vector<uint8_t> patched;
    const uint8_t* bytes = data;
    size_t length = size;
    if (size > 0 && (data[0] & 1) != 0)
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

    std::vector<int32_t> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 64; block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    for (int32_t block : blocks)
    {
        Try([&] { image->FixPCIBlockChecksum(block); });
    }
    if (!blocks.empty())
    {
        Try([&] { image->RemovePCIBlock(blocks.back()); });
    }
    ReadTables(image.get());
    CRefPtr<IROMImage> edited;
    Try([&] { edited = IROMImage::Clone(image.get()); });
    if (edited)
    {
        EditTables(edited.get());
        ReadTables(edited.get());
    }
    Try(
        [&]
        {
            std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
            CRefPtr<IVFieldTable> table = IVFieldTable::Create();
            table->ReadFromStream(stream, nullptr);
            table->Validate();
        });
    Try([&] { image->ConvertToPrivateChain(); });
    Try([&] { IROMImage::Clone(image.get()); });
    return 0;
}
