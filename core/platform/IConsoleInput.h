#pragma once
// Keys and lines typed at the console. Every read leaves the terminal in the
// mode it found it in. End of input is a value of its own, never a key the
// prompts accept.

#include "core/RefCount.h"

#include <string>

// Returned by the key reads when the console has no more input.
constexpr int kConsoleEndOfInput = -1;

class IConsoleInput : public IReferenceCount
{
public:
    // One key, not echoed; kConsoleEndOfInput at end of input.
    virtual int ReadKeyWithoutEcho() = 0;
    // One key, echoed as it is typed; kConsoleEndOfInput at end of input.
    virtual int ReadKeyWithEcho() = 0;
    // One line without its line end; false at end of input before any character.
    virtual bool ReadLine(std::string& line) = 0;
    // Puts the terminal back into the mode it had when this object was made.
    virtual void RestoreTerminal() = 0;
    // A person is at the console: the input and standard output are both
    // terminals. Only then may a long text stop and wait for a key.
    virtual bool IsInteractive() = 0;
};
