// Reading an adapter's firmware head for an update: only a failed read
// skips the adapter; an I/O failure or the user's abort ends the run.

#include "core/Exceptions.h"
#include "flasher/AdapterHead.h"
#include "flasher/FlasherImpl.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
// The engine with a head read that fails as the test says.
class CFailingHeadReadFlasher : public CFlasherImpl
{
public:
    explicit CFailingHeadReadFlasher(std::function<void()> fail)
        : CFlasherImpl(EngineSettings{.retries = 1}), m_fail(std::move(fail))
    {
    }
    CRefPtr<IROMImage> ReadImageHead(CRefPtr<IUserInterface>, CRefPtr<IDisplayAdapter>,
                                     CRefPtr<IEEPROMDatabase>, CRefPtr<IEEPROM>, bool&,
                                     CLog*) override
    {
        m_fail();
        return nullptr;
    }

private:
    std::function<void()> m_fail;
};
} // namespace

TEST(AdapterHeadRead, OnlyAFailedReadSkipsTheAdapter)
{
    struct Case
    {
        const char* name;
        std::function<void()> fail;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"the read failed", [] { throw std::runtime_error("Read failed"); },
         "skipped: Read failed"},
        {"a file failed", [] { throw io_error("disk full"); }, "passed on: disk full"},
        {"the user aborted", [] { throw user_abort_error("Update aborted"); },
         "passed on: Update aborted"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CLog log;
        const CRefPtr<IFlasher> flasher(new CFailingHeadReadFlasher(c.fail));
        std::string outcome;
        try
        {
            const AdapterHead read =
                ReadAdapterHead(*flasher, nullptr, nullptr, nullptr, nullptr, &log);
            outcome = read.head ? "read" : "skipped: " + read.failure;
        }
        catch (const std::exception& error)
        {
            outcome = std::string("passed on: ") + error.what();
        }
        EXPECT_EQ(outcome, c.outcome);
    }
}
