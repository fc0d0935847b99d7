#pragma once
// What the process writes to a standard stream while the object lives. The
// stream gets its own buffer back however the scope is left, so a failed
// assertion or an exception never leaves std::cout writing into a dead test.

#include <iostream>
#include <sstream>
#include <string>

namespace testkit
{
class CCapturedOutput
{
public:
    explicit CCapturedOutput(std::ostream& stream = std::cout)
        : m_stream(stream), m_saved(stream.rdbuf(m_text.rdbuf()))
    {
    }
    ~CCapturedOutput() { m_stream.rdbuf(m_saved); }
    CCapturedOutput(const CCapturedOutput&) = delete;
    CCapturedOutput& operator=(const CCapturedOutput&) = delete;
    std::string Text() const { return m_text.str(); }

private:
    std::ostream& m_stream;
    std::ostringstream m_text;
    std::streambuf* m_saved;
};
} // namespace testkit
