#include "core/UserInterfaceCmdLineImpl.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace
{
constexpr int32_t kToneFrequency = 4000;
constexpr uint32_t kClickMs = 5;

// Keyboard lights for each of the four progress phases.
constexpr std::array<std::array<uint8_t, 3>, 4> kLightPattern{{
    {0, 1, 0},
    {1, 0, 0},
    {0, 0, 1},
    {1, 0, 0},
}};

// A non-negative remainder, so any position selects a phase.
int PhaseOf(int value)
{
    return ((value % 4) + 4) % 4;
}

// total / divisor, never 0: a small total shows progress at every position
// instead of dividing by zero.
int StepOf(int total, int divisor)
{
    return std::max(total / divisor, 1);
}

void CheckProgressOperation(int operation)
{
    if (operation < 0 || operation > 4)
    {
        throw std::domain_error("Invalid progress operation");
    }
}
} // namespace

CUserInterfaceCmdLineImpl::CUserInterfaceCmdLineImpl(ICrossPlatform* platform, bool lightsEnabled,
                                                     bool soundEnabled, bool beepRequested,
                                                     std::ostream& out, std::ostream& err)
    : m_platform(platform), m_out(out), m_err(err), m_lightsEnabled(lightsEnabled),
      m_soundEnabled(soundEnabled), m_progressBeepsEnabled(beepRequested && soundEnabled)
{
    SaveLights();
}

void CUserInterfaceCmdLineImpl::SaveLights()
{
    for (int i = 0; i < 3; ++i)
    {
        m_savedLights[i] = m_platform->GetKeyboardLight(i);
    }
}

void CUserInterfaceCmdLineImpl::ShowPhase(int phase)
{
    if (m_lightsEnabled)
    {
        const auto& row = kLightPattern[PhaseOf(phase)];
        m_platform->SetKeyboardLights(row[0], row[1], row[2]);
    }
}

void CUserInterfaceCmdLineImpl::Dot()
{
    m_err << "." << std::flush;
}

void CUserInterfaceCmdLineImpl::Click()
{
    if (m_progressBeepsEnabled)
    {
        m_platform->Beep(kToneFrequency, kClickMs);
    }
}

void CUserInterfaceCmdLineImpl::ShowProgress(int position, int end, int total, int operation)
{
    CheckProgressOperation(operation);
    switch (operation)
    {
    case 1:
        if (position % StepOf(total, 10) == 0)
        {
            Dot();
            Click();
        }
        ShowPhase(position);
        break;
    case 2:
        Dot();
        Click();
        ShowPhase(position);
        break;
    case 3:
        // A skipped call resets the last position, so after the first dot one
        // comes every second call; the last position always gets one.
        if (position - m_lastProgressPosition >= 32 || position == end)
        {
            m_lastProgressPosition = position;
            Dot();
            ShowPhase(position / StepOf(total, 128));
            Click();
        }
        else
        {
            m_lastProgressPosition = 0;
        }
        break;
    default:
        break;
    }
}

void CUserInterfaceCmdLineImpl::EndProgress(int operation)
{
    CheckProgressOperation(operation);
    if (operation >= 1 && operation <= 3 && m_progressNewline)
    {
        m_err << "\n" << std::flush;
    }
}

void CUserInterfaceCmdLineImpl::BeepSeries(int count, int durationMs, int pauseMs)
{
    if (!m_soundEnabled)
    {
        return;
    }
    for (int i = 0; i < count; ++i)
    {
        m_platform->Beep(kToneFrequency, static_cast<uint32_t>(std::max(durationMs, 0)));
        m_platform->DelayMicroseconds(static_cast<uint32_t>(std::max(pauseMs, 0)) * 1000u);
    }
}

void CUserInterfaceCmdLineImpl::ReportErrorLevel(int level)
{
    if (level < 0 || level > 2)
    {
        throw std::domain_error("Invalid error level reported");
    }
    BeepSeries(level + 1, 10, 300);
}

void CUserInterfaceCmdLineImpl::ShowMessage(int kind, const std::string& text)
{
    if (kind == 5)
    {
        m_out << "\n" << std::flush << "WARNING: ";
    }
    if (kind == 3)
    {
        m_out << "NOTE: ";
    }
    m_out << text;
    if (kind == 0)
    {
        m_out << "...";
    }
    if (kind != 2)
    {
        m_out << "\n" << std::flush;
    }
    if (kind == 4)
    {
        m_platform->DelayMicroseconds(3000000);
        m_out << "\n" << std::flush;
    }
    if (kind == 5)
    {
        m_out << "\n" << std::flush;
    }
}

bool CUserInterfaceCmdLineImpl::Confirm(bool requireTypedYes, const std::string& text)
{
    m_out << "WARNING: " << text << std::flush;
    bool agreed = false;
    if (requireTypedYes)
    {
        std::string line;
        agreed = m_platform->ReadLine(line) && line == "YES";
    }
    else
    {
        // End of input is no key at all, so it never agrees.
        const int key = m_platform->GetAnswerKey(true);
        agreed = key == 'y' || key == 'Y';
    }
    m_out << "\n" << std::flush;
    return agreed;
}

void CUserInterfaceCmdLineImpl::Signal(int type)
{
    switch (type)
    {
    case 0:
        if (m_soundEnabled)
        {
            m_platform->Beep(kToneFrequency, 60);
        }
        SaveLights();
        break;
    case 1:
        if (m_lightsEnabled)
        {
            m_platform->SetKeyboardLights(m_savedLights[0], m_savedLights[1], m_savedLights[2]);
        }
        break;
    case 2:
        if (m_soundEnabled)
        {
            m_platform->Beep(kToneFrequency, 10);
        }
        break;
    default:
        throw std::domain_error("Invalid signal type");
    }
}

void CUserInterfaceCmdLineImpl::SetProgressNewline(bool newline)
{
    m_progressNewline = newline;
}

IUserInterface* CreateUserInterface(bool lightsEnabled, bool soundEnabled, bool beepRequested,
                                    std::ostream& out, std::ostream& err)
{
    return new CUserInterfaceCmdLineImpl(GetCrossPlatform(), lightsEnabled, soundEnabled,
                                         beepRequested, out, err);
}

IUserInterface* CreateUserInterface(bool lightsEnabled, bool soundEnabled, bool beepRequested)
{
    return CreateUserInterface(lightsEnabled, soundEnabled, beepRequested, std::cout, std::cerr);
}
