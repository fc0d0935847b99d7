#include "image/ImageBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace
{
// Erased buffers kept for the next images of this thread. A dozen cover the
// images an operation holds at once (an image, its clone, a scratch copy, an
// edit's snapshot; a KRROM file read twice over, the rebuilt delta images
// among them): no more than were alive together are ever kept.
constexpr size_t kPoolLimit = 12;

std::vector<CImageBuffer::Storage>& Pool()
{
    thread_local std::vector<CImageBuffer::Storage> pool;
    return pool;
}

// One in-memory file of kSize bytes of 0xFF that every buffer maps privately:
// reading a page a buffer never wrote shares the file's page, writing it
// copies that page alone. -1 when the system offers no such file.
int ErasedFile()
{
    static const int file = []
    {
        const int fd = memfd_create("romvise-erased-image", MFD_CLOEXEC);
        if (fd == -1)
        {
            return -1;
        }
        const std::vector<uint8_t> erased(CImageBuffer::kSize, 0xFF);
        size_t done = 0;
        while (done < erased.size())
        {
            const ssize_t wrote = write(fd, erased.data() + done, erased.size() - done);
            if (wrote <= 0)
            {
                close(fd);
                return -1;
            }
            done += static_cast<size_t>(wrote);
        }
        return fd;
    }();
    return file;
}

CImageBuffer::Storage NewErasedBuffer()
{
    const int file = ErasedFile();
    void* mapped = file != -1 ? mmap(nullptr, CImageBuffer::kSize, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE, file, 0)
                              : mmap(nullptr, CImageBuffer::kSize, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
    {
        throw std::bad_alloc();
    }
    if (file == -1)
    {
        // Without the shared erased file every page is filled, as a plain
        // allocation would be.
        std::memset(mapped, 0xFF, CImageBuffer::kSize);
    }
    return CImageBuffer::Storage(static_cast<uint8_t*>(mapped));
}

CImageBuffer::Storage TakeErasedBuffer()
{
    auto& pool = Pool();
    if (!pool.empty())
    {
        CImageBuffer::Storage bytes = std::move(pool.back());
        pool.pop_back();
        return bytes;
    }
    return NewErasedBuffer();
}
} // namespace

void CImageBuffer::Release::operator()(uint8_t* bytes) const
{
    munmap(bytes, kSize);
}

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
