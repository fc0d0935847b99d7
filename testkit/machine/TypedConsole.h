#pragma once
// Console input for runs on a simulated machine: the keys and lines a test
// types, end of input after them. Install it with InstallTypedConsole before
// the operating-system layer is first used.

#include "core/platform/IConsoleInput.h"

#include <deque>
#include <string>

class CTypedConsole : public CReferenceCountImpl, public IConsoleInput
{
public:
    ROMVISE_REFCOUNT_FORWARD
    int ReadKeyWithoutEcho() override { return PopKey(); }
    int ReadKeyWithEcho() override { return PopKey(); }
    bool ReadLine(std::string& line) override
    {
        if (lines.empty())
        {
            return false;
        }
        line = lines.front();
        lines.pop_front();
        return true;
    }
    void RestoreTerminal() override {}
    bool IsInteractive() override { return interactive; }

    std::deque<int> keys;
    std::deque<std::string> lines;
    // A person typing at a terminal, unless a test says the input or the
    // output is a file.
    bool interactive = true;

private:
    int PopKey()
    {
        if (keys.empty())
        {
            return kConsoleEndOfInput;
        }
        const int key = keys.front();
        keys.pop_front();
        return key;
    }
};

// Makes the console the platform's console input; returns it.
CRefPtr<CTypedConsole> InstallTypedConsole();
