#pragma once
// Sparse 32-bit register storage for a device model's register space. Aligned
// dwords below a limit live in 4 KiB pages allocated on first write, so a
// lookup on the bus path is two array indexes; any other offset (unaligned, or
// past the limit, as builders and tests may set) is kept in a map. Registers
// never written read 0.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class CSimRegisterPages
{
public:
    explicit CSimRegisterPages(uint64_t limit);

    uint32_t Get(uint64_t offset) const
    {
        if (IsPaged(offset))
        {
            const Page* page = m_pages[offset >> kPageShift].get();
            return page ? (*page)[(offset & kPageMask) >> 2] : 0;
        }
        return GetOther(offset);
    }
    void Set(uint64_t offset, uint32_t value)
    {
        if (IsPaged(offset) && m_pages[offset >> kPageShift])
        {
            (*m_pages[offset >> kPageShift])[(offset & kPageMask) >> 2] = value;
            return;
        }
        SetOther(offset, value);
    }

private:
    static constexpr unsigned kPageShift = 12;
    static constexpr uint64_t kPageMask = (uint64_t{1} << kPageShift) - 1;
    using Page = std::array<uint32_t, (size_t{1} << kPageShift) / 4>;

    bool IsPaged(uint64_t offset) const { return (offset & 3) == 0 && offset < m_limit; }
    uint32_t GetOther(uint64_t offset) const;
    // Registers in the map, and the first register of a page.
    void SetOther(uint64_t offset, uint32_t value);

    uint64_t m_limit;
    std::vector<std::unique_ptr<Page>> m_pages;
    std::map<uint64_t, uint32_t> m_others;
};
