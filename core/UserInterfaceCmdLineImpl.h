#pragma once
// The console user interface: messages and prompts on one stream (standard
// output), progress dots on another (standard error); tones, waits and
// keyboard lights through the operating-system layer.

#include "core/CrossPlatform.h"
#include "core/UserInterface.h"

#include <array>

class CUserInterfaceCmdLineImpl : public CReferenceCountImpl, public IUserInterface
{
public:
    CUserInterfaceCmdLineImpl(ICrossPlatform* platform, bool lightsEnabled, bool soundEnabled,
                              bool beepRequested, std::ostream& out, std::ostream& err);
    ROMVISE_REFCOUNT_FORWARD

    void ShowProgress(int position, int end, int total, int operation) override;
    void EndProgress(int operation) override;
    void ReportErrorLevel(int level) override;
    void ShowMessage(int kind, const std::string& text) override;
    bool Confirm(bool requireTypedYes, const std::string& text) override;
    void Signal(int type) override;
    void SetProgressNewline(bool newline) override;

    // count beeps of durationMs, each followed by a pause of pauseMs.
    virtual void BeepSeries(int count, int durationMs, int pauseMs);

private:
    void SaveLights();
    void ShowPhase(int phase);
    void Dot();
    void Click();

    CRefPtr<ICrossPlatform> m_platform;
    std::ostream& m_out;
    std::ostream& m_err;
    std::array<bool, 3> m_savedLights{};
    bool m_lightsEnabled;
    bool m_soundEnabled;
    bool m_progressBeepsEnabled;
    bool m_progressNewline = true;
    int m_lastProgressPosition = 0;
};
