#pragma once
// Shared by the engine's Varnex operations: damaged store data end one
// operation with its failure result and a line on standard error instead of
// an exception.

#include <iostream>
#include <stdexcept>

// Runs the operation; a range, overflow or other runtime error is written
// as "ERROR: " + the operation's name (for the first two) + the text, and
// gives `failure`.
template <class Result, class Operation>
Result RunGuardingStoreErrors(const char* name, Result failure, Operation operation)
{
    try
    {
        return operation();
    }
    catch (const std::out_of_range& error)
    {
        std::cerr << "ERROR: " << name << error.what() << std::endl;
    }
    catch (const std::overflow_error& error)
    {
        std::cerr << "ERROR: " << name << error.what() << std::endl;
    }
    catch (const std::runtime_error& error)
    {
        std::cerr << "ERROR: " << error.what() << std::endl;
    }
    return failure;
}
