#pragma once
// The text a failing action shows the user, for tests that assert it exactly.

#include <exception>
#include <string>

namespace testkit
{

// The what() of the exception the action throws, or "(no error)" when it
// returns normally.
std::string ErrorOf(auto action)
{
    try
    {
        action();
    }
    catch (const std::exception& error)
    {
        return error.what();
    }
    return "(no error)";
}

} // namespace testkit
