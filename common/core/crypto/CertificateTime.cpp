// The clock and the time record of certificate validity checks.

#include "common/core/crypto/CertificateTime.h"

#include "common/core/crypto/Certificate.h"

#include <ctime>

namespace
{
CertificateClock& CurrentClock()
{
    static CertificateClock clock;
    return clock;
}

int64_t ReadClock()
{
    const CertificateClock& clock = CurrentClock();
    return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

bool BreakDown(int64_t seconds, bool utc, std::tm& out)
{
    const auto value = static_cast<std::time_t>(seconds);
    return utc ? gmtime_r(&value, &out) != nullptr : localtime_r(&value, &out) != nullptr;
}
} // namespace

CertificateClock SetCertificateClock(CertificateClock clock)
{
    CertificateClock previous = std::move(CurrentClock());
    CurrentClock() = std::move(clock);
    return previous;
}

int32_t NtpTimeQuery::QueryServer()
{
    status = kStatusNoNetworkTime;
    return status;
}

void NtpTimeQuery::UseLocalClock()
{
    SetAllTimes(ReadClock());
}

void NtpTimeQuery::SetAllTimes(int64_t time)
{
    times.fill(time);
    status = kStatusAvailable;
}

int32_t NtpTimeQuery::GetTimeComponent(int32_t component, uint32_t which, bool utc) const
{
    std::tm parts{};
    if (which >= times.size() || !BreakDown(times[which], utc, parts))
    {
        return 0;
    }
    switch (component)
    {
    case 0:
        return parts.tm_mday;
    case 1:
        return parts.tm_wday;
    case 2:
        return parts.tm_hour;
    case 3:
        return parts.tm_min;
    case 4:
        return parts.tm_mon + 1;
    case 5:
        return parts.tm_sec;
    case 6:
        return parts.tm_year + 1900;
    default:
        return 0;
    }
}

BCRTValidityDate UtcDate(int64_t seconds)
{
    std::tm parts{};
    BreakDown(seconds, true, parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

std::vector<std::string>& TimeServerList()
{
    static std::vector<std::string> servers{"0.pool.ntp.org", "1.pool.ntp.org", "2.pool.ntp.org",
                                            "3.pool.ntp.org"};
    return servers;
}
