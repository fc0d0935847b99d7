#pragma once
// Microcode images of the Kestrix engines: a 32-byte header, the code segment
// for the engine's instruction memory (IMEM) and the data segment for its data
// memory (DMEM). Inside the data segment the DMEM mapper ("DMAP") tells the
// host where the microcode keeps its command buffers, printf ring, build stamp
// and signatures. The parse copies both segments and finds the mapper; it
// reports through a load status and never throws.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Load statuses of an image.
enum : uint32_t
{
    KESTRIX_IMAGE_OK = 0,
    KESTRIX_IMAGE_FILE_FORMAT_ERROR = 1,
    KESTRIX_IMAGE_FILE_NOT_FOUND = 2,
    KESTRIX_IMAGE_FILE_UNSUPPORTED_VERSION = 3,
    KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND = 4,
};

// The status's name, or empty for 0 and statuses without one.
std::string KestrixLoadStatusName(uint32_t status);

constexpr uint32_t kKestrixHeaderSize = 32;
constexpr uint32_t kKestrixDmapMagic = 0x50414D44; // "DMAP"
// The mapper scan looks at no more than this many words of the data segment.
constexpr uint32_t kKestrixMapperScanWords = 12288;

// The header's eight words as stored.
struct KestrixImageHeader
{
    uint32_t version = 0;
    uint32_t headerSize = 0;
    uint32_t imemSize = 0;
    uint32_t dmemSize = 0;
    uint32_t secureStart = 0;
    uint32_t word5 = 0; // version 1: secure end; version 2: alternate secure size
    uint32_t word6 = 0; // version 2: secure size
    uint32_t word7 = 0; // version 2: alternate DMEM size
};

// The DMEM mapper's fields, with the DMEM offset where it was found. Fields
// the mapper's version does not carry are 0.
struct KestrixDmemMapper
{
    uint32_t offset = 0;
    uint16_t version = 0;
    uint32_t cmd_in_buffer_offset = 0;
    uint32_t cmd_in_buffer_size = 0;
    uint32_t cmd_out_buffer_offset = 0;
    uint32_t cmd_out_buffer_size = 0;
    uint32_t rmv_img_data_buffer_offset = 0;
    uint32_t rmv_img_data_buffer_size = 0;
    uint32_t printfHeaderOffset = 0;
    uint32_t buildStampOffset = 0;
    uint32_t signatureTableOffset = 0;
    uint32_t ucodeFeature = 0;
    uint32_t commandMask0 = 0;
    uint32_t commandMask1 = 0;
    uint32_t targetRecordOffset = 0;

    bool IsExtended() const { return version == 2 || version == 3; }
};

// Mapper byte offsets.
constexpr uint32_t kDmapVersion = 0x04;
constexpr uint32_t kDmapPrintfHeader = 0x20;
constexpr uint32_t kDmapBuildStamp = 0x24;
constexpr uint32_t kDmapSignatureTable = 0x28;
constexpr uint32_t kDmapUcodeFeature = 0x30;
constexpr uint32_t kDmapTargetRecord = 0x3C;
constexpr uint32_t kDmapBasicSize = 0x24;
constexpr uint32_t kDmapExtendedSize = 0x40;
// ucode_feature bit: the microcode carries alternate signatures.
constexpr uint32_t kUcodeFeatureAlternateSignatures = 0x10;
// KestrixPrintfHeader: five words.
constexpr uint32_t kPrintfHeaderWords = 5;
// KestrixTargetRecord: version at byte 0, target engine at 8, user-image mode at 9.
constexpr uint32_t kTargetRecordSize = 10;
constexpr uint32_t kTargetRecordEngine = 8;
constexpr uint32_t kTargetRecordUserImage = 9;
constexpr uint32_t kSignatureSize = 16;

// A built-in image and the signature blocks patched into it.
struct KestrixUcodeDescriptor
{
    const uint8_t* image = nullptr;
    uint32_t size = 0;
    const uint8_t* alternateProductionSignature = nullptr;
    const uint8_t* productionSignature = nullptr;
};

struct KestrixUcodeRange
{
    uint16_t firstDeviceId = 0;
    uint16_t lastDeviceId = 0;
    const KestrixUcodeDescriptor* descriptor = nullptr;
};

// The device table of the built-in pmu and sec images, in lookup order.
std::span<const KestrixUcodeRange> KestrixBuiltinRanges();
// The descriptor of the first row holding the device ID, or null.
const KestrixUcodeDescriptor* FindKestrixUcodeForDeviceId(uint16_t deviceId);
// The fixed image of the krdec engine.
std::span<const uint8_t> KestrixKrdecImage();

// What the parse keeps of an image.
struct KestrixParsedImage
{
    uint32_t status = KESTRIX_IMAGE_OK;
    uint32_t version = 0;
    std::vector<uint8_t> code;
    std::vector<uint8_t> data;
    uint32_t imemSize = 0;
    uint32_t dmemSize = 0;
    uint32_t secureStart = 0;
    uint32_t secureEnd = 0;
    uint32_t alternateSecureSize = 0;
    uint32_t entireSecureSize = 0;
    uint32_t alternateDmemSize = 0;
    bool secure = false;
    std::optional<KestrixDmemMapper> mapper;
};

// Parses `image`. `targetEngine` (1 pmu, 4 krdec, 5 sec; 0 none) goes into a
// version-3 mapper's target record; `descriptor`, for a built-in image of the
// device table, supplies the signatures patched into the data segment.
KestrixParsedImage ParseKestrixImage(std::span<const uint8_t> image, uint8_t targetEngine,
                                     const KestrixUcodeDescriptor* descriptor);

// The offset of the first "DMAP" word of a data segment (at a 4-byte
// boundary, within the scan bound), or nullopt.
std::optional<uint32_t> FindKestrixDmapMagic(std::span<const uint8_t> data);
// The mapper at `offset`, or nullopt when the mapper or one of the records it
// names (printf header; build stamp and signature tables for versions 2 and 3;
// target record for version 3) does not lie wholly inside the segment.
std::optional<KestrixDmemMapper> ReadKestrixDmemMapper(std::span<const uint8_t> data,
                                                       uint32_t offset);

// Writes the user-image mode (1 the user named the image, 0 not) into the
// image's target record, when it has one of version 1.
void SetKestrixUserImageMode(KestrixParsedImage& parsed, uint8_t mode);

// Little-endian word access inside a segment; the caller has checked the range.
uint32_t KestrixWordAt(std::span<const uint8_t> bytes, size_t offset);
void KestrixPutWord(std::span<uint8_t> bytes, size_t offset, uint32_t value);
// The bytes as little-endian words, the last one filled up with zeros.
std::vector<uint32_t> KestrixWordsOf(std::span<const uint8_t> bytes);
