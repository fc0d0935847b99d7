// The MCU firmware file: its 64-byte header, the checks on a whole image and
// on a header read back from the MCU, the CRC, the ID comparison and the file
// operations.

#include "core/Exceptions.h"
#include "core/NewFile.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "core/UserFile.h"
#include "hw/mcu/GmacAccessorImpl.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace
{
constexpr uint16_t kHeaderVersion = 0x0200;
constexpr uint16_t kStm32DeviceId = 0x0440;
constexpr uint16_t kImageFormatVersion = 0x0100;
constexpr char kSignature[] = "GMAC";

bool ChecksumIsZero(const GmacImageHeader& header)
{
    uint8_t sum = 0;
    for (uint8_t byte : header)
    {
        sum = static_cast<uint8_t>(sum + byte);
    }
    return sum == 0;
}

uint32_t HeaderSize(const GmacImageHeader& header)
{
    return header[6];
}

uint32_t ImageSize(const GmacImageHeader& header)
{
    return HeaderDword(header, 28);
}

// Appends a failure text; every text but the last of a message is set off by
// line breaks.
void AddFailure(std::ostringstream& text, const std::string& failure)
{
    text << "\n" << failure << "\n";
}
} // namespace

uint32_t CGmacAccessorImpl::Crc32(const uint8_t* bytes, uint32_t length)
{
    uint32_t crc = 0xFFFFFFFF;
    for (uint32_t i = 0; i < length; ++i)
    {
        crc ^= static_cast<uint32_t>(bytes[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
        {
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
    }
    return crc;
}

bool CGmacAccessorImpl::CheckImageCrc(const std::vector<uint8_t>& image)
{
    const uint32_t start = HeaderSize(m_header);
    const uint32_t size = ImageSize(m_header);
    // A file shorter than its header claims fails the check without being read
    // past its end.
    if (!RangeFits(start, size, image.size()))
    {
        return false;
    }
    return Crc32(image.data() + start, size) == HeaderDword(m_header, 32);
}

bool CGmacAccessorImpl::CheckHeaderFields(const GmacImageHeader& header, std::ostringstream& text,
                                          bool& failed)
{
    const auto fail = [&](const std::string& failure)
    {
        AddFailure(text, failure);
        failed = true;
    };
    if (HeaderWord(header, 4) != kHeaderVersion)
    {
        fail(" Incompatible image header version: " + ToHex(HeaderWord(header, 4), 4));
    }
    if (HeaderSize(header) != kGmacHeaderSize)
    {
        fail(" Incorrect image header size: " + ToHex(HeaderSize(header), 2));
    }
    if (HeaderWord(header, 24) != kStm32DeviceId)
    {
        fail(" Incorrect uC device Id: " + ToHex(HeaderWord(header, 24), 4));
    }
    return !failed;
}

bool CGmacAccessorImpl::ValidateImage()
{
    std::ostringstream text;
    bool failed = false;
    if (m_image.size() <= kGmacHeaderSize)
    {
        AddFailure(text, " Invalid image buffer size. ");
        LogMessage(text, 4, true);
        m_imageValid = false;
        return false;
    }
    if (!ChecksumIsZero(m_header))
    {
        AddFailure(text, " Bad image header checksum");
        failed = true;
    }
    CheckHeaderFields(m_header, text, failed);
    const uint64_t total = static_cast<uint64_t>(HeaderSize(m_header)) + ImageSize(m_header);
    if (total != m_image.size())
    {
        AddFailure(text, " Size of input image mismatch with Header size [" +
                             ToHex(HeaderSize(m_header), 4) + "] + Image size[" +
                             ToHex(ImageSize(m_header), 4) + "]");
        failed = true;
    }
    if (total > kGmacFlashLimit)
    {
        AddFailure(text, " Size of firmware image ( 0x" + ToHex(static_cast<uint32_t>(total), 4) +
                             " ) exceed the Flash memory size limit ( 0x" +
                             ToHex(kGmacFlashLimit, 4) + " ).");
        failed = true;
    }
    if (HeaderWord(m_header, 26) != kImageFormatVersion)
    {
        AddFailure(text, "GMAC MCU image format version mismatch.");
        failed = true;
    }
    if (!CheckImageCrc(m_image))
    {
        text << "MCU application image checksum mismatched.\n";
        failed = true;
    }
    if (failed)
    {
        LogMessage(text, 4, true);
    }
    m_imageValid = !failed;
    return m_imageValid;
}

bool CGmacAccessorImpl::ValidateHeader(const GmacImageHeader& header, CLog*)
{
    std::ostringstream text;
    bool failed = false;
    if (!ChecksumIsZero(header))
    {
        AddFailure(text, " Bad image header checksum");
        failed = true;
    }
    if (std::memcmp(header.data(), kSignature, 4) != 0)
    {
        AddFailure(text, "Invalid header, unable to find out the image header signature.");
        LogMessage(text, 4, true);
        return false;
    }
    CheckHeaderFields(header, text, failed);
    const uint64_t total = static_cast<uint64_t>(HeaderSize(header)) + ImageSize(header);
    if (total > kGmacFlashLimit)
    {
        AddFailure(text, " Size of firmware image ( 0x" + ToHex(static_cast<uint32_t>(total), 4) +
                             " ) exceed the Flash memory size limit ( 0x" +
                             ToHex(kGmacFlashLimit, 4) + " ).");
        failed = true;
    }
    if (HeaderWord(header, 26) != kImageFormatVersion)
    {
        AddFailure(text, "GMAC MCU image format version mismatch.");
        failed = true;
    }
    if (failed)
    {
        LogMessage(text, 4, true);
    }
    return !failed;
}

bool CGmacAccessorImpl::LoadImage(std::vector<uint8_t> bytes)
{
    m_imageValid = false;
    if (bytes.size() <= kGmacHeaderSize)
    {
        // A file too short to hold a header and an image leaves nothing of an
        // earlier image behind.
        m_image.clear();
        m_header.fill(0);
        return ValidateImage();
    }
    m_image = std::move(bytes);
    const auto found = std::search(m_image.begin(), m_image.end(), kSignature, kSignature + 4);
    const size_t offset = static_cast<size_t>(found - m_image.begin());
    // A signature too near the end to hold a whole header counts as missing.
    if (found == m_image.end() || offset + kGmacHeaderSize > m_image.size())
    {
        GmacMessage("\nInvalid header, unable to find out the image header signature.\n");
        return false;
    }
    std::copy_n(m_image.begin() + static_cast<ptrdiff_t>(offset), kGmacHeaderSize,
                m_header.begin());
    return ValidateImage();
}

uint32_t CGmacAccessorImpl::CheckImageIds(CLog*)
{
    uint32_t mismatch = 0;
    bool first = true;
    const auto report = [&](const std::string& text)
    {
        GmacMessage((first ? "\n" : "") + text);
        first = false;
    };
    const uint16_t imageVendor = HeaderWord(m_header, 20);
    const uint16_t imageDevice = HeaderWord(m_header, 22);
    if (m_vendorId != imageVendor)
    {
        report("Vendor ID mismatch ( Adapter = " + ToHex(m_vendorId, 4) +
               " vs. ROM = " + ToHex(imageVendor, 4) + " )");
        mismatch |= kGmacVendorIdMismatch;
    }
    if (m_deviceId != 0 && imageDevice != 0 && m_deviceId != imageDevice)
    {
        report("Device ID mismatch ( Adapter = " + ToHex(m_deviceId, 4) +
               " vs. ROM = " + ToHex(imageDevice, 4) + " )");
        mismatch |= kGmacDeviceIdMismatch;
    }
    return mismatch;
}

std::string CGmacAccessorImpl::GetSignature()
{
    return m_imageValid ? HeaderText(m_header, 0, 4) : std::string();
}
std::string CGmacAccessorImpl::GetProject()
{
    return m_imageValid ? HeaderText(m_header, 8, 4) : std::string();
}
std::string CGmacAccessorImpl::GetSku()
{
    return m_imageValid ? HeaderText(m_header, 12, 4) : std::string();
}
std::string CGmacAccessorImpl::GetSkuBranch()
{
    return m_imageValid ? HeaderText(m_header, 16, 2) : std::string();
}
std::string CGmacAccessorImpl::GetAppVersion()
{
    return m_imageValid ? HeaderText(m_header, 18, 2) : std::string();
}
uint16_t CGmacAccessorImpl::GetImageVendorID()
{
    return m_imageValid ? HeaderWord(m_header, 20) : 0;
}
uint16_t CGmacAccessorImpl::GetImageDeviceID()
{
    return m_imageValid ? HeaderWord(m_header, 22) : 0;
}
uint16_t CGmacAccessorImpl::GetStm32DeviceID()
{
    return m_imageValid ? HeaderWord(m_header, 24) : 0;
}
uint16_t CGmacAccessorImpl::GetImageVersion()
{
    return m_imageValid ? HeaderWord(m_header, 26) : 0;
}

bool CGmacAccessorImpl::ReadImageFile(const std::string& fileName, std::vector<uint8_t>& out)
{
    UserFileContents file = ReadUserFile(fileName, UserFileFormat::kMcuImage);
    if (!file.Read())
    {
        GmacMessage("Couldn't open " + fileName + "\n");
        return false;
    }
    out = std::move(file.bytes);
    return true;
}

bool CGmacAccessorImpl::WriteImageFile(const std::string& fileName,
                                       const std::vector<uint8_t>& bytes, uint32_t count)
{
    const size_t length = std::min<size_t>(count, bytes.size());
    // Never through a link; a failed write keeps an old file as it was.
    WriteOutputFileOrThrow(fileName, {std::span<const uint8_t>(bytes.data(), length)},
                           "Error writing image to file");
    return true;
}

void CGmacAccessorImpl::PadToPage(std::vector<uint8_t>& bytes)
{
    const size_t remainder = bytes.size() % kGmacPageSize;
    if (remainder != 0)
    {
        bytes.resize(bytes.size() + kGmacPageSize - remainder, 0xFF);
    }
}
