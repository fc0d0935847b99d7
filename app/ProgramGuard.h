#pragma once
// The outermost frame of a program's entry point. The run turns the failures
// it knows into exit codes and messages; anything else that leaves it (an
// allocation failure, a logic error, a machine file that cannot be loaded)
// still ends the process cleanly: the display driver given back, "ERROR: "
// and the text on the error stream, exit code 2.

#include <functional>
#include <iosfwd>

// Runs the body and returns its exit code, or 2 when it throws.
int RunGuarded(const std::function<int()>& body, std::ostream& err);
