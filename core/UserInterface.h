#pragma once
// All interaction with the person at the console: messages, confirmations,
// progress dots, error beeps and the tones that mark an EEPROM operation.

#include "core/RefCount.h"

#include <ostream>
#include <string>

class IUserInterface : public IReferenceCount
{
public:
    // Operation: 0 none, 1 chip erase (a dot every tenth), 2 block erase (a dot
    // every call), 3 programming (a dot every 32 blocks), 4 reading (nothing).
    virtual void ShowProgress(int position, int end, int total, int operation) = 0;
    // Ends the progress line of operations 1 to 3.
    virtual void EndProgress(int operation) = 0;
    // One, two or three beeps for levels 0, 1 and 2.
    virtual void ReportErrorLevel(int level) = 0;
    // Kind: 0 the text and "...", 1 a line, 2 no line end, 3 a note, 4 a line
    // that stays three seconds, 5 a warning between blank lines.
    virtual void ShowMessage(int kind, const std::string& text) = 0;
    // "WARNING: " and the text; true for the key 'y' or 'Y', or, when the typed
    // word is required, for the line "YES".
    virtual bool Confirm(bool requireTypedYes, const std::string& text) = 0;
    // 0 start of an EEPROM operation, 1 its writing is over, 2 its end.
    virtual void Signal(int type) = 0;
    // Whether EndProgress ends the progress line.
    virtual void SetProgressNewline(bool newline) = 0;
};

// A console user interface writing to standard output and standard error, with
// no reference taken.
IUserInterface* CreateUserInterface(bool lightsEnabled, bool soundEnabled, bool beepRequested);
// The same writing messages to out and progress to err.
IUserInterface* CreateUserInterface(bool lightsEnabled, bool soundEnabled, bool beepRequested,
                                    std::ostream& out, std::ostream& err);

// The process-wide user interface, created on first call from the command line
// options "nolight", "silence" and "beep". The pointer is borrowed.
IUserInterface* GetUserInterface();
