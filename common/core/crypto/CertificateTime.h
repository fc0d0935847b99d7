#pragma once
// The time that certificate validity is checked against, and the process-wide
// list of network time servers. The local clock can be replaced (tests set a
// fixed time); the network time source is not available in this build.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Seconds since 1970, UTC.
using CertificateClock = std::function<int64_t()>;

// Replaces the clock that UseLocalClock reads and returns the one before;
// an empty function puts the system clock back.
CertificateClock SetCertificateClock(CertificateClock clock);

// Sets a clock for the life of the object and puts the previous one back.
class CScopedCertificateClock
{
public:
    explicit CScopedCertificateClock(CertificateClock clock)
        : m_previous(SetCertificateClock(std::move(clock)))
    {
    }
    ~CScopedCertificateClock() { SetCertificateClock(std::move(m_previous)); }
    CScopedCertificateClock(const CScopedCertificateClock&) = delete;
    CScopedCertificateClock& operator=(const CScopedCertificateClock&) = delete;

private:
    CertificateClock m_previous;
};

// One time query: status 0 time available, 4 network time not available.
struct NtpTimeQuery
{
    static constexpr int32_t kStatusAvailable = 0;
    static constexpr int32_t kStatusNoNetworkTime = 4;

    uint8_t mode = 3;
    uint16_t port = 123;
    int32_t status = kStatusNoNetworkTime;
    std::array<int64_t, 4> times{};

    int32_t QueryServer();
    void UseLocalClock();
    void SetAllTimes(int64_t time);
    // 0 day of month, 1 day of week, 2 hour, 3 minute, 4 month 1-12,
    // 5 second, 6 year; of time 0-3, in UTC or local time.
    int32_t GetTimeComponent(int32_t component, uint32_t which, bool utc) const;
};

// The calendar date of seconds since 1970 in UTC.
struct BCRTValidityDate;
BCRTValidityDate UtcDate(int64_t seconds);

// Names of time servers for the network time source.
std::vector<std::string>& TimeServerList();
