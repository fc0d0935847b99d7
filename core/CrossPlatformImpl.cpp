#include "core/CrossPlatformImpl.h"

#include "core/PowerRule.h"
#include "core/Singleton.h"
#include "core/ToneWaveform.h"

#include <limits>
#include <stdexcept>
#include <utility>

namespace
{
// Deadline in microseconds, held at the largest value rather than wrapping.
uint64_t DeadlineAfter(uint64_t now, uint32_t microseconds)
{
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    return now > limit - microseconds ? limit : now + microseconds;
}
} // namespace

CCrossPlatformImpl::CCrossPlatformImpl(const PlatformServices& services) : m_services(services)
{
    if (m_services.breakHandling)
    {
        m_services.breakHandling->IgnoreBreaks();
    }
}

CCrossPlatformImpl::~CCrossPlatformImpl()
{
    // Both steps run whatever the other does: the user gets the terminal and
    // the break keys back on every way out.
    try
    {
        if (m_services.consoleInput)
        {
            m_services.consoleInput->RestoreTerminal();
        }
    }
    catch (...)
    {
    }
    try
    {
        if (m_services.breakHandling)
        {
            m_services.breakHandling->RestoreBreaks();
        }
    }
    catch (...)
    {
    }
}

IClock& CCrossPlatformImpl::Clock()
{
    if (!m_services.clock)
    {
        throw std::logic_error("No clock installed");
    }
    return *m_services.clock;
}

void CCrossPlatformImpl::DelayMicroseconds(uint32_t microseconds)
{
    if (microseconds != 0)
    {
        Clock().WaitMicroseconds(microseconds);
    }
}

std::string CCrossPlatformImpl::GetSystemErrorText(uint32_t code)
{
    if (code == 0 || !m_services.systemControl)
    {
        return {};
    }
    return m_services.systemControl->GetSystemErrorText(code);
}

void CCrossPlatformImpl::StartTimeout(uint32_t microseconds)
{
    m_timeoutDeadline = DeadlineAfter(Clock().NowMicroseconds(), microseconds);
    m_timeoutArmed = true;
}

uint32_t CCrossPlatformImpl::GetTimeoutRemaining()
{
    const uint64_t now = Clock().NowMicroseconds();
    if (m_timeoutArmed && now < m_timeoutDeadline)
    {
        return static_cast<uint32_t>(m_timeoutDeadline - now);
    }
    m_timeoutArmed = false;
    return 0;
}

int CCrossPlatformImpl::ReadConsoleKey(bool echo)
{
    const bool dropLineEnd = std::exchange(m_answerLineEndDue, false);
    if (!m_services.consoleInput)
    {
        return kConsoleEndOfInput;
    }
    IConsoleInput& console = *m_services.consoleInput;
    auto read = [&] { return echo ? console.ReadKeyWithEcho() : console.ReadKeyWithoutEcho(); };
    int key = read();
    if (!dropLineEnd)
    {
        return key;
    }
    if (key == '\r')
    {
        key = read(); // "\r\n" is one line end, a lone "\r" another
    }
    return key == '\n' ? read() : key;
}

int CCrossPlatformImpl::GetKey()
{
    const int key = ReadConsoleKey(false);
    // 0 leads the code of an extended key; the second read is the key.
    if (key == 0 && m_services.consoleInput)
    {
        return m_services.consoleInput->ReadKeyWithoutEcho();
    }
    return key;
}

void CCrossPlatformImpl::Beep(int32_t frequency, uint32_t durationMs)
{
    if (!m_services.toneOutput)
    {
        return;
    }
    const std::vector<uint8_t> samples = MakeToneSamples(frequency, durationMs);
    if (samples.empty())
    {
        return;
    }
    m_services.toneOutput->Play(samples, kToneSamplesPerSecond);
}

void CCrossPlatformImpl::SetKeyboardLights(uint8_t, uint8_t, uint8_t) {}

bool CCrossPlatformImpl::GetKeyboardLight(int32_t)
{
    return false;
}

void CCrossPlatformImpl::Reboot()
{
    if (!m_services.systemControl)
    {
        throw std::runtime_error("Unable to reboot system.");
    }
    m_services.systemControl->Reboot();
}

bool CCrossPlatformImpl::IsPowerSufficient()
{
    return ::IsPowerSufficient(m_services.powerSource.get());
}

int32_t CCrossPlatformImpl::GetReservedValue()
{
    return 0;
}

std::vector<DisplayDeviceRecord> CCrossPlatformImpl::GetDisplayDevices(CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    std::vector<DeviceEntry> devices;
    if (!m_services.displayDevices || !m_services.displayDevices->ListDevices(devices))
    {
        return {};
    }
    return FindDisplayDevices(devices);
}

bool CCrossPlatformImpl::IsWow64()
{
    return m_services.systemControl && m_services.systemControl->IsWow64();
}

std::string CCrossPlatformImpl::GetDeviceDescription(uint16_t deviceId, uint16_t vendorId, CLog*)
{
    std::vector<DeviceEntry> devices;
    if (!m_services.displayDevices || !m_services.displayDevices->ListDevices(devices))
    {
        return {};
    }
    return FindDeviceDescription(devices, deviceId, vendorId);
}

std::string CCrossPlatformImpl::GetWorkingDirectory()
{
    return m_services.systemControl ? m_services.systemControl->GetWorkingDirectory()
                                    : std::string();
}

std::string CCrossPlatformImpl::GetStateDirectory()
{
    return m_services.systemControl ? m_services.systemControl->GetStateDirectory() : std::string();
}

int CCrossPlatformImpl::GetKeyWithEcho()
{
    return ReadConsoleKey(true);
}

bool CCrossPlatformImpl::ReadLine(std::string& line)
{
    line.clear();
    const bool dropLineEnd = std::exchange(m_answerLineEndDue, false);
    if (!m_services.consoleInput || !m_services.consoleInput->ReadLine(line))
    {
        return false;
    }
    if (!dropLineEnd)
    {
        return true;
    }
    // The line read ends at "\n": an empty line, or a lone "\r", was the line
    // end after the answer; a "\r" before the text was a line end of its own.
    if (line.empty() || line == "\r")
    {
        line.clear();
        return m_services.consoleInput->ReadLine(line);
    }
    if (line.front() == '\r')
    {
        line.erase(0, 1);
    }
    return true;
}

int CCrossPlatformImpl::GetAnswerKey(bool echo)
{
    const int key = echo ? GetKeyWithEcho() : GetKey();
    m_answerLineEndDue = key != kConsoleEndOfInput && key != '\n' && key != '\r';
    return key;
}

bool CCrossPlatformImpl::IsConsoleInteractive()
{
    return m_services.consoleInput && m_services.consoleInput->IsInteractive();
}

std::string ICrossPlatform::GetLowPowerMessage()
{
    return "EEPROM updating prevented due to no AC power detected and battery level below 35%";
}

ICrossPlatform* CreateCrossPlatform(const PlatformServices& services)
{
    return new CCrossPlatformImpl(services);
}

ICrossPlatform* GetCrossPlatform()
{
    static CSingletonHolder<ICrossPlatform> holder(ESingletonSlot::CrossPlatform);
    return GetOrCreateSingleton(holder, [] { return CreateCrossPlatform(GetPlatformServices()); });
}
