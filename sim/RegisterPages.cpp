#include "sim/RegisterPages.h"

CSimRegisterPages::CSimRegisterPages(uint64_t limit)
    : m_limit(limit), m_pages((limit + kPageMask) >> kPageShift)
{
}

uint32_t CSimRegisterPages::GetOther(uint64_t offset) const
{
    const auto found = m_others.find(offset);
    return found == m_others.end() ? 0 : found->second;
}

void CSimRegisterPages::SetOther(uint64_t offset, uint32_t value)
{
    if (!IsPaged(offset))
    {
        m_others[offset] = value;
        return;
    }
    std::unique_ptr<Page>& page = m_pages[offset >> kPageShift];
    if (!page)
    {
        page = std::make_unique<Page>();
    }
    (*page)[(offset & kPageMask) >> 2] = value;
}
