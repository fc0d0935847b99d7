#pragma once
// An update record for engine tests: it hands out the content a test gives
// it, keeps what the engine asked of it and lets the test look at the chip at
// the moment of each call.

#include "flasher/IUpdateJournal.h"

#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

class CWatchingJournal : public CReferenceCountImpl, public IUpdateJournal
{
public:
    ROMVISE_REFCOUNT_FORWARD

    std::optional<std::vector<uint8_t>> PendingContent(CRefPtr<IDisplayAdapter>) override
    {
        return pending;
    }
    [[noreturn]] void Refuse(CRefPtr<IDisplayAdapter>, const std::string& reason) override
    {
        throw std::runtime_error("refused: " + reason);
    }
    void Begin(CRefPtr<IDisplayAdapter>, std::span<const uint8_t> content) override
    {
        begun.emplace_back(content.begin(), content.end());
        if (onBegin)
        {
            onBegin();
        }
    }
    void Finish(CRefPtr<IDisplayAdapter>) override
    {
        ++finishes;
        if (onFinish)
        {
            onFinish();
        }
    }

    std::optional<std::vector<uint8_t>> pending;
    std::vector<std::vector<uint8_t>> begun;
    int finishes = 0;
    std::function<void()> onBegin;
    std::function<void()> onFinish;
};
