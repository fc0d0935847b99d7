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

// The image is a PCI ROM chain that starts with a block other than the
// Varnex block: a GPU's firmware, not an erased or unreadable chip nor one
// whose firmware was deleted around its Varnex store.
bool HoldsGpuImage(IROMImage& image)
{
    return Readable([&] { return image.IsPCIROM() && image.FindNBSIBlock() != 0; })
        .value_or(false);
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

bool HasBoardGuid(IROMImage& image)
{
    return !GuidBytes(image).empty();
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
    // A datum the adapter's firmware does not readably carry is compared
    // only where its absence is the board's own: a board built without a
    // 0x85 block must not take another board's, while a chip that holds no
    // GPU image (erased, or left with its Varnex block alone) says nothing
    // of its board. Data the saved firmware does not readably carry differs
    // from data the adapter carries.
    const bool gpuImage = HoldsGpuImage(adapterImage);
    std::string differences;
    auto compare = [&](const char* what, auto read, bool absenceIsTheBoards)
    {
        const auto own = Readable([&] { return read(adapterImage); });
        const bool ownLacks = !own || own->empty();
        if (ownLacks && !absenceIsTheBoards)
        {
            return;
        }
        const auto other = Readable([&] { return read(saved); });
        const bool differ = ownLacks ? other && !other->empty() : other != own;
        if (differ)
        {
            differences += (differences.empty() ? "" : ", ") + std::string(what);
        }
    };
    compare("0x85 block", [](IROMImage& image) { return BoardBlockBytes(image); }, gpuImage);
    compare("IEEE 1394 GUID", [](IROMImage& image) { return GuidBytes(image); }, false);
    compare("Varnex serial number", [](IROMImage& image) { return VarnexSerial(image); }, false);
    return differences;
}
