#pragma once
// A logger whose every line, at every level, lands in a string, for tests
// that assert the exact text a Varnex operation reports.

#include "core/Log.h"

#include <sstream>

namespace testkit
{

struct CapturedLog
{
    CapturedLog() { log.AddSink(&text, 0, 10); }
    CLog log;
    std::ostringstream text;
};

} // namespace testkit
