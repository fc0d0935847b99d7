#include "sim/ChipStore.h"

#include "core/Exceptions.h"
#include "core/Range.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

CSimChipStore::CSimChipStore(size_t size, uint8_t fill) : m_bytes(size, fill) {}

CSimChipStore::CSimChipStore(const std::string& path, size_t size, uint8_t fill)
    : m_path(path), m_bytes(size, fill)
{
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
    {
        throw io_error("Cannot open chip contents " + path + ": " + std::strerror(errno));
    }
    // A constructor that throws runs no destructor: the file is closed here.
    try
    {
        Load(size);
    }
    catch (...)
    {
        close(m_fd);
        throw;
    }
}

void CSimChipStore::Load(size_t size)
{
    struct stat info
    {
    };
    if (fstat(m_fd, &info) != 0)
    {
        throw io_error("Cannot read chip contents " + m_path + ": " + std::strerror(errno));
    }
    const size_t existing = static_cast<size_t>(info.st_size);
    if (existing > size)
    {
        throw io_error("Chip contents " + m_path + " are larger than the chip (" +
                       std::to_string(existing) + " > " + std::to_string(size) + " bytes)");
    }
    if (existing > 0 && pread(m_fd, m_bytes.data(), existing, 0) != static_cast<ssize_t>(existing))
    {
        throw io_error("Cannot read chip contents " + m_path);
    }
    if (existing < size)
    {
        WriteBack(existing, size - existing);
    }
}

CSimChipStore::~CSimChipStore()
{
    if (m_fd >= 0)
    {
        close(m_fd);
    }
}

void CSimChipStore::CheckRange(size_t offset, size_t length) const
{
    if (!RangeFits(offset, length, m_bytes.size()))
    {
        throw std::out_of_range("chip access outside its " + std::to_string(m_bytes.size()) +
                                " bytes");
    }
}

uint8_t CSimChipStore::At(size_t offset) const
{
    CheckRange(offset, 1);
    return m_bytes[offset];
}

std::vector<uint8_t> CSimChipStore::Read(size_t offset, size_t length) const
{
    CheckRange(offset, length);
    return std::vector<uint8_t>(m_bytes.begin() + static_cast<ptrdiff_t>(offset),
                                m_bytes.begin() + static_cast<ptrdiff_t>(offset + length));
}

void CSimChipStore::Write(size_t offset, std::span<const uint8_t> bytes)
{
    CheckRange(offset, bytes.size());
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<ptrdiff_t>(offset));
    WriteBack(offset, bytes.size());
}

void CSimChipStore::Fill(size_t offset, size_t length, uint8_t value)
{
    CheckRange(offset, length);
    std::fill_n(m_bytes.begin() + static_cast<ptrdiff_t>(offset), length, value);
    WriteBack(offset, length);
}

void CSimChipStore::WriteBack(size_t offset, size_t length)
{
    if (m_fd < 0 || length == 0)
    {
        return;
    }
    if (pwrite(m_fd, m_bytes.data() + offset, length, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(length))
    {
        throw io_error("Cannot write chip contents " + m_path + ": " + std::strerror(errno));
    }
}
