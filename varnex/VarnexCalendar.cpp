#include "varnex/VarnexCalendar.h"

#include <ctime>

namespace
{

class CSystemVarnexCalendarImpl : public CReferenceCountImpl, public IVarnexCalendar
{
public:
    ROMVISE_REFCOUNT_FORWARD

    VarnexDate GetLocalDate() override
    {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return VarnexDate{static_cast<uint8_t>(local.tm_mday),
                          static_cast<uint8_t>(local.tm_mon + 1),
                          static_cast<uint16_t>(local.tm_year + 1900)};
    }
};

class CFixedVarnexCalendarImpl : public CReferenceCountImpl, public IVarnexCalendar
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CFixedVarnexCalendarImpl(const VarnexDate& date) : m_date(date) {}
    VarnexDate GetLocalDate() override { return m_date; }

private:
    VarnexDate m_date;
};

} // namespace

CRefPtr<IVarnexCalendar> CreateSystemVarnexCalendar()
{
    return CRefPtr<IVarnexCalendar>(new CSystemVarnexCalendarImpl());
}

CRefPtr<IVarnexCalendar> CreateFixedVarnexCalendar(const VarnexDate& date)
{
    return CRefPtr<IVarnexCalendar>(new CFixedVarnexCalendarImpl(date));
}
