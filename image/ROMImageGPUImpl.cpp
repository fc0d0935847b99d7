// GPU image object: construction, window, offset mode and the
// init-from-ROM header.

#include "image/ROMImageGPUImpl.h"

#include "core/Range.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

using namespace pcirom;

CROMImageGPUImpl::CROMImageGPUImpl(int32_t type) : CROMImageBaseImpl(type)
{
    ResetWindow();
}

CROMImageGPUImpl::CROMImageGPUImpl(const uint8_t* bytes, uint32_t length, int32_t type)
    : CROMImageBaseImpl(type, bytes, length)
{
    ResetBITCache();
    m_offsetMode = true;
    Parse();
    ReadKPDEFlags();
}

void CROMImageGPUImpl::ResetWindow()
{
    m_windowOffset = 0;
    const uint32_t loaded = GetLoadedSize();
    if (loaded < kIfrMinimumData)
    {
        return;
    }
    uint32_t signature = 0;
    std::memcpy(&signature, BufferStart(), sizeof signature);
    if (signature != kIfrSignature)
    {
        return;
    }
    uint32_t windowOffset = 0;
    std::memcpy(&windowOffset, BufferStart() + kIfrImageSize, sizeof windowOffset);
    // A segment size that reaches past the loaded bytes would put the window
    // outside the image; such a header gives no window.
    if (windowOffset <= loaded)
    {
        m_windowOffset = windowOffset;
    }
}

uint32_t CROMImageGPUImpl::ViewLimit()
{
    const uint32_t loaded = GetLoadedSize();
    const uint32_t window = GetWindowOffset();
    return window <= loaded ? loaded - window : 0;
}

void CROMImageGPUImpl::ResetBITCache()
{
    CROMImageBaseImpl::ResetBITCache();
    ResetWindow();
}

bool CROMImageGPUImpl::IsRangeLoaded(int32_t offset, uint32_t length)
{
    return offset != -1 && RangeFits(UnsignedOffset(offset), length, ViewLimit());
}

int32_t CROMImageGPUImpl::FindBytes(const uint8_t* pattern, uint32_t length)
{
    const uint32_t window = GetWindowOffset();
    const uint32_t limit = ViewLimit();
    if (length == 0 || length > limit)
    {
        return -1;
    }
    const uint8_t* begin = BufferStart() + window;
    const auto* hit = static_cast<const uint8_t*>(memmem(begin, limit, pattern, length));
    return hit == nullptr ? -1 : static_cast<int32_t>(hit - begin);
}

uint8_t* CROMImageGPUImpl::GetBuffer()
{
    return Buffer().WriteAll() + GetWindowOffset();
}

void CROMImageGPUImpl::ReadBlock(uint8_t* destination, int32_t offset, uint32_t length)
{
    if (!IsRangeLoaded(offset, length))
    {
        throw std::domain_error("Source block is out of range");
    }
    CROMImageBaseImpl::ReadBlock(destination, static_cast<int32_t>(TranslateOffset(offset)),
                                 length);
}

void CROMImageGPUImpl::WriteBlock(const uint8_t* source, int32_t offset, uint32_t length)
{
    const uint64_t start = TranslateOffset(offset);
    if (!RangeFits(start, length, kImageBufferSize))
    {
        throw std::out_of_range("Invalid offset");
    }
    CROMImageBaseImpl::WriteBlock(source, static_cast<int32_t>(start), length);
}

void CROMImageGPUImpl::Parse()
{
    // The window is derived from the new bytes first: the code-type test must
    // not read the first block through the window of an earlier image.
    ResetWindow();
    if (GetFirstCodeType() == kCodeOpenFirmware)
    {
        throw std::runtime_error("Unsupported code type: 0x01. FCode support deprecated.");
    }
    CROMImageBaseImpl::Parse();
}

void CROMImageGPUImpl::ReparseInOffsetMode()
{
    COffsetModeScope scope(this, true);
    Parse();
}

// ---- init-from-ROM header ------------------------------------------------

bool CROMImageGPUImpl::HasIFRHeader()
{
    COffsetModeScope scope(this, false);
    return GetLoadedSize() >= kIfrMinimumHeader && GetDword(0) == kIfrSignature;
}

bool CROMImageGPUImpl::HasIFRHeaderData()
{
    COffsetModeScope scope(this, false);
    return HasIFRHeader() && (GetDword(kIfrDataSize) & kIfrDataSizeMask) >= kIfrMinimumData &&
           GetLoadedSize() >= kIfrMinimumData;
}

bool CROMImageGPUImpl::HasCompleteIFR()
{
    COffsetModeScope scope(this, false);
    return HasIFRHeaderData() && GetLoadedSize() >= GetIFRImageSize();
}

const uint8_t* CROMImageGPUImpl::GetIFRHeader()
{
    return HasIFRHeader() ? BufferStart() : nullptr;
}

uint32_t CROMImageGPUImpl::GetIFRSubsystemID()
{
    COffsetModeScope scope(this, false);
    return HasIFRHeader() ? GetDword(kIfrSubsystemId) : 0;
}

uint32_t CROMImageGPUImpl::GetIFRDataSize()
{
    COffsetModeScope scope(this, false);
    return HasIFRHeader() ? GetDword(kIfrDataSize) & kIfrDataSizeMask : 0;
}

uint32_t CROMImageGPUImpl::GetIFRImageSize()
{
    COffsetModeScope scope(this, false);
    if (!HasIFRHeader())
    {
        return 0;
    }
    const uint32_t headerWord = GetDword(kIfrHeaderWord);
    if (((headerWord >> 8) & 0xFF) < 1)
    {
        return 0;
    }
    const uint32_t sizeRecord = (headerWord >> 16) & 0x7FFF;
    if (!RangeFits(uint64_t{sizeRecord} + 4, 4, GetLoadedSize()))
    {
        return 0;
    }
    return GetDword(static_cast<int32_t>(sizeRecord + 4));
}
