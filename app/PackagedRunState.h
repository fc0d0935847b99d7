#pragma once
// What the packaged run holds from its set-up to its end.

#include "app/KRUserFlashApp.h"
#include "flasher/IUpdateJournal.h"

#include <vector>

struct CKRUserFlashApp::RunState
{
    explicit RunState(const PackageStore& packageStore) : store(packageStore) {}

    const PackageStore& store;
    bool quiet = false;
    CLog* log = nullptr;
    CRefPtr<IUserInterface> ui;
    CRefPtr<IEEPROMDatabase> eeproms;
    CRefPtr<IDisplayAdapterDatabase> adapters;
    CRefPtr<IBoardDatabase> boards;
    CRefPtr<IPCIBus> bus;
    IFlasher* flasher = nullptr;
    // The update records; null for a backup run or where none are kept.
    CRefPtr<IUpdateJournal> journal;
    std::vector<CRefPtr<IROMImage>> images;
    SelectionCriteria selection;
    bool matchedAny = false;
    int fileCounter = 0;
    int result = kExitMatched;
    int adapterCount = 0;
};
