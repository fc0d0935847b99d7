// Fuzzes image creation from bytes, everything that walks the PCI block
// chain, and the VBIOS table readers and edits: any input must end in a value
// or in an exception, never in a read outside the buffer or an endless walk.

#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/IVFieldTable.h"
#include "image/PreservationTable.h"

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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kImageBufferSize)
    {
        return 0;
    }
    CRefPtr<IROMImage> image;
    Try([&] { image = IROMImage::CreateFromBuffer(data, static_cast<uint32_t>(size)); });
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
