#include "flasher/BoardData.h"

#include "flasher/FlasherImpl.h"
#include "image/NBSIPCIBlock.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "varnex/ObdFields.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace
{
// A GUID of all zero or all one bits was never given to a board.
bool IsAssigned(const std::vector<uint8_t>& guid)
{
    const auto all = [&](uint8_t value)
    { return std::all_of(guid.begin(), guid.end(), [value](uint8_t b) { return b == value; }); };
    return !guid.empty() && !all(0x00) && !all(0xFF);
}

// The GUID record's bytes (length, checksum and the GUID); empty when the
// image has none.
std::vector<uint8_t> GuidBytes(IROMImage& image)
{
    if (!image.HasIEEE1394GUID())
    {
        return {};
    }
    COffsetModeScope on(&image, true);
    std::vector<uint8_t> record(image.GetIEEE1394GUIDSize());
    image.ReadBlock(record.data(), image.GetIEEE1394GUIDOffset(),
                    static_cast<uint32_t>(record.size()));
    const std::vector<uint8_t> guid(record.begin() + std::min<size_t>(2, record.size()), record.end());
    return IsAssigned(guid) ? record : std::vector<uint8_t>{};
}

// The serial number of the store's OBD object; empty when there is none.
std::string VarnexSerial(IROMImage& image)
{
    CRefPtr<CVarnexImage> store = ReadVarnexStore(&image, false);
    const CVarnexImageObject* obd = store && store->IsValid() ? store->FindObject(kObdTag) : nullptr;
    if (obd == nullptr)
    {
        return {};
    }
    for (const ObdField& field : ObdFields())
    {
        if (std::string_view(field.name) == "BoardSerialNumber")
        {
            const std::string text = GetObdField(*obd, field);
            const bool empty = text.empty() || text[0] == '\0' || text[0] == '\xFF';
            return empty ? std::string{} : text;
        }
    }
    return {};
}

// What `read` gives, or nothing when the image's structures cannot give it.
template <typename Read>
auto Readable(Read read) -> std::optional<decltype(read())>
{
    try
    {
        return read();
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}
} // namespace

std::vector<uint8_t> BoardBlockBytes(IROMImage& image)
{
    const int32_t block = image.FindNthPCIBlock(kBoardBlockCodeType, 0);
    const uint32_t length = block == -1 ? 0 : image.GetPCIBlockLength(block);
    if (length == 0)
    {
        return {};
    }
    std::vector<uint8_t> bytes(length);
    image.ReadBlock(bytes.data(), block, length);
    // In its chain other blocks may follow it; alone, it ends the chain.
    CRefPtr<IROMImage> single = IROMImage::CreateFromBuffer(bytes.data(), length);
    single->SetOffsetMode(false);
    single->SetPCIRLastImage(0, 0);
    single->SetKPDELastImage(0, 0);
    single->FixPCIBlockChecksum(0);
    single->ReadBlock(bytes.data(), 0, length);
    return bytes;
}

void RemoveBoardBlocks(IROMImage& image)
{
    const int32_t first = image.FindNthPCIBlock(kBoardBlockCodeType, 0);
    if (first == -1)
    {
        return;
    }
    const int32_t varnex =
        image.HasNBSIObject(nbsi::kTypeVarnexImage) ? image.FindNBSIBlock() : -1;
    // The Varnex block's layout depends on where it starts; the copy keeps
    // it as laid out for its present place.
    const CRefPtr<IROMImage> before = varnex > first ? IROMImage::Clone(&image) : nullptr;
    for (int32_t block = first; block != -1; block = image.FindNthPCIBlock(kBoardBlockCodeType, 0))
    {
        image.RemovePCIBlock(block);
    }
    if (before)
    {
        image.RemovePCIBlock(image.FindNBSIBlock());
        CRefPtr<CROMMeldVarnexFlashImpl> merger(CROMMeldVarnexFlashImpl::Create());
        if (!merger->AppendVarnexToRomChain(&image, before.get(), nullptr))
        {
            throw std::runtime_error("Failed to merge Varnex image.");
        }
    }
}

std::string BoardDataDifference(IROMImage& adapterImage, IROMImage& saved)
{
    COffsetModeScope adapterOff(&adapterImage, false);
    COffsetModeScope savedOff(&saved, false);
    std::string differences;
    // Data the adapter's firmware does not readably carry is not compared;
    // data the saved firmware does not readably carry differs.
    auto compare = [&](const char* what, auto read)
    {
        const auto own = Readable([&] { return read(adapterImage); });
        if (!own || own->empty())
        {
            return;
        }
        if (Readable([&] { return read(saved); }) != own)
        {
            differences += (differences.empty() ? "" : ", ") + std::string(what);
        }
    };
    compare("0x85 block", [](IROMImage& image) { return BoardBlockBytes(image); });
    compare("IEEE 1394 GUID", [](IROMImage& image) { return GuidBytes(image); });
    compare("Varnex serial number", [](IROMImage& image) { return VarnexSerial(image); });
    return differences;
}
