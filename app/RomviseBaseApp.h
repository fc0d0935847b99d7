#pragma once
// The application frame both programs share: the process command line, the
// adapter enumeration with its filters, and the operations that every
// application class may replace. The engineering command mode fills in the
// operations the packaged updater does not call.

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"

#include <cstdint>
#include <string>
#include <vector>

class CRomviseBaseApp
{
public:
    CRomviseBaseApp() = default;
    virtual ~CRomviseBaseApp();
    CRomviseBaseApp(const CRomviseBaseApp&) = delete;
    CRomviseBaseApp& operator=(const CRomviseBaseApp&) = delete;

    virtual std::string GetProgramName();
    // Bit 0 of the feature flags: the detail flag every engine operation gets.
    virtual bool HasEngineeringFeatures();
    virtual int32_t GetFeatureFlags();
    virtual int Run() = 0;

    // The adapters to work on: the bus scan without the motherboard's PLX
    // switch functions and the unconfigured adapters, filtered by device ID.
    virtual DisplayAdapterList& EnumerateAdapters(DisplayAdapterList& result,
                                                  CRefPtr<IPCIBus> bus,
                                                  CRefPtr<IDisplayAdapterDatabase> database,
                                                  const std::vector<DeviceIdFilter>& filters,
                                                  bool keepUnknown, bool reportUnconfigured,
                                                  CLog* log, bool reverse);
    virtual DisplayAdapterList& FilterOnboardBridges(DisplayAdapterList& result,
                                                     const DisplayAdapterList& adapters,
                                                     CLog* log);

    // Writes the Varnex backup block into the adapter's firmware: 0 done, 16
    // no Varnex image or the adapter's images unreadable, 3 the write failed.
    virtual int BackupVarnex(CRefPtr<IDisplayAdapter> adapter,
                             CRefPtr<IDisplayAdapterDatabase> adapters, bool skipConfirm,
                             CLog* log);

protected:
    CRefPtr<ICommandLine> commandLine;
    int32_t selectedSegment = 0;
    int32_t selectedBus = 0;
};
