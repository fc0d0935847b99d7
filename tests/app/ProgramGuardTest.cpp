// The outermost frame of the programs: a failure the run does not know still
// gives the display back and ends with "ERROR: " and exit code 2, never with
// an abort that leaves the screen dark.

#include "app/ProgramGuard.h"
#include "core/AdapterContext.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/Log.h"
#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>

namespace
{
class CGuardedAdapter : public CReferenceCountImpl, public IAdapterContext
{
public:
    ROMVISE_REFCOUNT_FORWARD
    uint32_t GetDeviceKind() override { return 12; }
    uint8_t GetBusNumber() override { return 1; }
    uint8_t GetDeviceNumber() override { return 0; }
    bool IsDisplayAttached() override { return true; }
};
} // namespace

TEST(ProgramGuard, UnexpectedFailureRestoresTheDisplayAndEndsWithExitCode2)
{
    struct Case
    {
        const char* name;
        std::function<void()> fail;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"allocation failure", [] { throw std::bad_alloc(); }, "\nERROR: std::bad_alloc\n"},
        {"logic error", [] { throw std::invalid_argument("no simulated GPU of device kind 3"); },
         "\nERROR: no simulated GPU of device kind 3\n"},
        {"machine file refused", [] { throw user_error("Machine file m.json: bad PCI address"); },
         "\nERROR: Machine file m.json: bad PCI address\n"},
        {"not a standard exception", [] { throw 7; },
         "\nERROR: unexpected failure of an unknown kind\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFakePlatform platform;
        platform.devices->AddPciDevice("0000:01:00.0", 0x7E2B, 0x0C00, 0x030000, 1, 0, 0,
                                       "Korvan Dolvik1 C00");
        ICrossPlatform* os = GetCrossPlatform();
        os->SetAdapterCount(1);
        CRefPtr<CGuardedAdapter> adapter(new CGuardedAdapter);
        os->SetPrimaryAdapter(CRefPtr<IAdapterContext>(adapter.get()));
        std::ostringstream err;

        const int exitCode = RunGuarded(
            [&]
            {
                os->SetActiveAdapter(CRefPtr<IAdapterContext>(adapter.get()));
                if (!os->ToggleDisplayDriver(nullptr) || !os->IsDisplayDriverDisabled())
                {
                    ADD_FAILURE() << "the display driver was not disabled";
                }
                c.fail();
                return 0;
            },
            err);

        EXPECT_EQ(exitCode, 2);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_FALSE(os->IsDisplayDriverDisabled());
        EXPECT_EQ(platform.devices->devices[0].status.problem, 0u) << "the device started again";
    }
}
