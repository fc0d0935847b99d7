#pragma once
// The update records both runs keep around a flash (header only, so that the
// application library's batches stay as they are): installed on the engine
// for the run, and the head of an adapter's firmware taken from the content a
// record saved when the adapter's last update did not finish.

#include "core/CrossPlatform.h"
#include "core/RefCount.h"
#include "flasher/IFlasher.h"
#include "flasher/UpdateJournal.h"
#include "image/IROMImage.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// Installs the run's update records on the engine and takes them off again
// on every way out of the run.
class CUpdateJournalInstall
{
public:
    CUpdateJournalInstall(IFlasher* flasher, CRefPtr<IUpdateJournal> journal) : m_flasher(flasher)
    {
        m_flasher->SetUpdateJournal(std::move(journal));
    }
    ~CUpdateJournalInstall() { m_flasher->SetUpdateJournal(nullptr); }
    CUpdateJournalInstall(const CUpdateJournalInstall&) = delete;
    CUpdateJournalInstall& operator=(const CUpdateJournalInstall&) = delete;

private:
    IFlasher* m_flasher;
};

// The update records in the platform's state folder; none where the platform
// keeps no state.
inline CRefPtr<IUpdateJournal> OpenUpdateJournal()
{
    const std::string folder = GetCrossPlatform()->GetStateDirectory();
    if (folder.empty())
    {
        return nullptr;
    }
    return CRefPtr<IUpdateJournal>(new CUpdateJournalImpl(folder));
}

// The image head as the EEPROM's read would give it, from the content an
// unfinished update saved.
inline CRefPtr<IROMImage> HeadFromSavedContent(const std::vector<uint8_t>& saved)
{
    const uint32_t length = std::min<uint32_t>(kImageHeadSize, static_cast<uint32_t>(saved.size()));
    CRefPtr<IROMImage> head = IROMImage::CreateFromBuffer(saved.data(), length);
    head->Parse();
    return head;
}
