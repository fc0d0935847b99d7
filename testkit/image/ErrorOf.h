#pragma once
// The message of the exception an action throws, for tests that assert the
// exact text a user sees.

#include <exception>
#include <functional>
#include <string>

namespace testkit
{

// The what() text of the exception action throws; empty when it throws none.
inline std::string ErrorOf(const std::function<void()>& action)
{
    try
    {
        action();
    }
    catch (const std::exception& error)
    {
        return error.what();
    }
    return "";
}

} // namespace testkit
