#include "app/AdapterConfirmation.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "flasher/DisplayDriverGuard.h"

#include <iostream>

void ConfirmOrReleaseAdapter(CRefPtr<IDisplayAdapter>& adapter, const std::string& question,
                             CLog* log)
{
    CDisplayDriverRestoreGuard restoreOnFailure(log, DisplayRestore::OnFailure);
    std::cout << '\n'
              << question << "\nPress 'y' to confirm (any other key to abort): " << std::flush;
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    if (key != 'y' && key != 'Y')
    {
        adapter->UnmapRegisters();
        adapter = nullptr;
        throw user_abort_error("Aborted!");
    }
    std::cout << std::endl;
}
