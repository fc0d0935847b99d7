#include "image/ImageBuffer.h"

#include <algorithm>
#include <cstring>

namespace
{
// Erased buffers kept for the next images of this thread. A dozen cover the
// images an operation holds at once (an image, its clone, a scratch copy, an
// edit's snapshot; a KRROM file read twice over, the rebuilt delta images
// among them): no more than were alive together are ever kept.
constexpr size_t kPoolLimit = 12;

std::vector<std::unique_ptr<uint8_t[]>>& Pool()
{
    thread_local std::vector<std::unique_ptr<uint8_t[]>> pool;
    return pool;
}

std::unique_ptr<uint8_t[]> TakeErasedBuffer()
{
    auto& pool = Pool();
    if (!pool.empty())
    {
        std::unique_ptr<uint8_t[]> bytes = std::move(pool.back());
        pool.pop_back();
        return bytes;
    }
    // Filled once, with 0xFF: zeroing it first would double the cost.
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(CImageBuffer::kSize);
    std::memset(bytes.get(), 0xFF, CImageBuffer::kSize);
    return bytes;
}
} // namespace

CImageBuffer::CImageBuffer() : m_bytes(TakeErasedBuffer()) {}

CImageBuffer::~CImageBuffer()
{
    Erase();
    auto& pool = Pool();
    if (pool.size() < kPoolLimit)
    {
        pool.push_back(std::move(m_bytes));
    }
}

uint8_t* CImageBuffer::Write(uint64_t end)
{
    m_dirtyEnd = static_cast<uint32_t>(std::clamp<uint64_t>(end, m_dirtyEnd, kSize));
    return m_bytes.get();
}

void CImageBuffer::Erase()
{
    std::memset(m_bytes.get(), 0xFF, m_dirtyEnd);
    m_dirtyEnd = 0;
}

void CImageBuffer::ErasedFrom(uint32_t count)
{
    m_dirtyEnd = std::min(count, kSize);
}

void CImageBuffer::CopyFrom(const CImageBuffer& other)
{
    if (m_dirtyEnd > other.m_dirtyEnd)
    {
        std::memset(m_bytes.get() + other.m_dirtyEnd, 0xFF, m_dirtyEnd - other.m_dirtyEnd);
    }
    std::memcpy(m_bytes.get(), other.m_bytes.get(), other.m_dirtyEnd);
    m_dirtyEnd = other.m_dirtyEnd;
}
