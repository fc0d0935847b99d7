#pragma once
// The update records both runs keep around a flash (header only, so that the
// application library's batches stay as they are): installed on the engine
// for the run, and the head or the whole of an adapter's firmware taken from
// the content a record saved when the adapter's last update did not finish.

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
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

// The run's update records: those of the state folder, or, when the folder
// cannot be used, records that refuse every write with the folder's failure
// while commands that only read go on.
inline CRefPtr<IUpdateJournal> OpenUpdateJournalOrUnusable()
{
    try
    {
        return OpenUpdateJournal();
    }
    catch (const io_error& error)
    {
        return CRefPtr<IUpdateJournal>(new CUnusableUpdateJournal(error.what()));
    }
}

// The first `most` bytes of the content an unfinished update saved, as an
// image parsed as the EEPROM's read would give it.
inline CRefPtr<IROMImage> ImageOfSavedContent(const std::vector<uint8_t>& saved, uint32_t most)
{
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(most, saved.size()));
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(saved.data(), length);
    image->Parse();
    return image;
}

// The image head, from the content an unfinished update saved.
inline CRefPtr<IROMImage> HeadFromSavedContent(const std::vector<uint8_t>& saved)
{
    return ImageOfSavedContent(saved, kImageHeadSize);
}
