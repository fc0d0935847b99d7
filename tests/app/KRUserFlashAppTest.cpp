// A refused image ends the run as a user abort, but unlike a declined prompt
// it is logged at level 4 also in quiet mode: standard error and the log file
// tell why nothing was written.

#include "app/KRUserFlashApp.h"
#include "core/Exceptions.h"
#include "core/Log.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(ImageRefusedReport, QuietRunStillLogsTheRefusalAtLevel4)
{
    CLog log;
    std::ostringstream errorStream;
    std::ostringstream logFile;
    std::ostringstream levelThreeOnly;
    CScopedLogSink errorSink(&log, &errorStream, 4, 5);
    CScopedLogSink fileSink(&log, &logFile, 1, 5);
    CScopedLogSink belowSink(&log, &levelThreeOnly, 1, 3);

    ReportImageRefused(&log, image_refused_error("Invalid firmware image detected. \n"), true);

    const std::string expected = "\nERROR: Invalid firmware image detected. \n\n";
    EXPECT_EQ(errorStream.str(), expected);
    EXPECT_EQ(logFile.str(), expected);
    EXPECT_EQ(levelThreeOnly.str(), "");
    EXPECT_EQ(log.GetLevel(), 3);
}
