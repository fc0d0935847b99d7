#include "app/RomviseBaseApp.h"

CRomviseBaseApp::~CRomviseBaseApp() = default;

std::string CRomviseBaseApp::GetProgramName()
{
    return "romvise_eng";
}

bool CRomviseBaseApp::HasEngineeringFeatures()
{
    return (GetFeatureFlags() & 1) != 0;
}

int32_t CRomviseBaseApp::GetFeatureFlags()
{
    return 15;
}

DisplayAdapterList& CRomviseBaseApp::EnumerateAdapters(DisplayAdapterList& result,
                                                       CRefPtr<IPCIBus> bus,
                                                       CRefPtr<IDisplayAdapterDatabase> database,
                                                       const std::vector<DeviceIdFilter>& filters,
                                                       bool keepUnknown, bool reportUnconfigured,
                                                       CLog* log, bool reverse)
{
    EnumerateOptions options;
    options.keepUnknown = keepUnknown;
    options.reportUnconfigured = reportUnconfigured;
    options.reverse = reverse;
    options.detailed = HasEngineeringFeatures();
    return ::EnumerateAdapters(result, bus, database, filters, options, log);
}

DisplayAdapterList& CRomviseBaseApp::FilterOnboardBridges(DisplayAdapterList& result,
                                                          const DisplayAdapterList& adapters,
                                                          CLog* log)
{
    return ::FilterOnboardBridges(result, adapters, log);
}
