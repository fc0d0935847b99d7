#include "app/ProgramGuard.h"

#include "app/KRUserFlashApp.h"
#include "core/CrossPlatform.h"
#include "core/Log.h"

#include <exception>
#include <ostream>

namespace
{
int EndAfterUnexpectedFailure(const char* text, std::ostream& err)
{
    // The run's own guards have already given the display back when the
    // failure came through them; this covers a failure that did not, and a
    // second restore is harmless. Creating the platform layer can itself
    // fail when memory is short: the message still goes out then.
    try
    {
        GetCrossPlatform()->RestoreDisplayDriver(GetLog());
    }
    catch (...)
    {
    }
    err << "\nERROR: " << text << std::endl;
    return kExitRuntimeError;
}
} // namespace

int RunGuarded(const std::function<int()>& body, std::ostream& err)
{
    try
    {
        return body();
    }
    catch (const std::exception& error)
    {
        return EndAfterUnexpectedFailure(error.what(), err);
    }
    catch (...)
    {
        return EndAfterUnexpectedFailure("unexpected failure of an unknown kind", err);
    }
}
