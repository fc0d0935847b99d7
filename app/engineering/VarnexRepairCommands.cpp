// Repair and recovery of the adapter's store from the firmware's backup
// store: repairvarnex carries the primary store's retired pages into the
// backup store and writes it as both stores; recovervarnex writes the backup
// store as the primary one.

#include "app/engineering/VarnexSession.h"

#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "varnex/VarnexPblObject.h"

#include <iostream>
#include <optional>

namespace
{
// The page limit a PBL version allows when none is given; none for a
// version outside the table.
std::optional<uint32_t> DefaultPageLimit(const CVarnexImageObject& pbl, CLog* log)
{
    const uint8_t version = pbl.GetVersion();
    const uint8_t subversion = pbl.GetSubversion();
    if ((version == 2 && subversion <= 1) || (version == 3 && subversion == 0))
    {
        *log << LogLevel(3) << "PBL Version " << int{version} << "." << int{subversion} << LogEndl;
        return version == 2 && subversion == 1 ? 20u : 64u;
    }
    return std::nullopt;
}

// The limit given with --repairvarnex, read whole and in range; none when
// the option has no value.
std::optional<uint32_t> GivenPageLimit(const std::string& text)
{
    if (text.empty())
    {
        return std::nullopt;
    }
    const std::optional<uint32_t> limit = ReadNumberOfAnyBase(text, 0xFFFFFFFF);
    if (!limit)
    {
        throw user_error("Invalid value \"" + text + "\" for --repairvarnex.");
    }
    return limit;
}

void ClearBackupObject(CVarnexImage& backup, const char* tag, CLog* log)
{
    if (CVarnexImageObject* object = backup.FindObject(VarnexTag(tag)))
    {
        LogCommandLine(log,
                       std::string("Clearing ") + tag + " object data in primary Varnex image.");
        ClearStoreObject(*object);
    }
}

// The backup store and the PBL objects of both stores a repair works on.
struct RepairStores
{
    CRefPtr<CVarnexImage> backup;
    CVarnexImagePblObject* primaryPbl = nullptr;
    CVarnexImagePblObject* backupPbl = nullptr;
};

CVarnexImagePblObject* PblOf(CVarnexImage* store)
{
    return store ? dynamic_cast<CVarnexImagePblObject*>(store->FindObject(VarnexTag("PBL")))
                 : nullptr;
}

// A valid primary store, the user's consent to lose what the backup lacks,
// and a PBL object in both stores; false with the reason in the message.
bool FindRepairStores(EngineeringCommand& command, VarnexSession& session, RepairStores& stores)
{
    if (!session.store->IsValid())
    {
        session.message << "\nRead failed: Varnex is invalid.";
        return false;
    }
    if (!command.values.autoConfirm)
    {
        std::cout << "The existing Varnex image is valid. Repairing the Varnex from\n"
                     "the embedded backup image may cause some data loss.\n"
                  << kContinueQuestion << std::flush;
        ConfirmOrAbort(command.values.log);
    }
    stores.primaryPbl = PblOf(session.store.get());
    stores.backup = command.values.flasher->ReadVarnexObject(session.image, true);
    stores.backupPbl = PblOf(stores.backup.get());
    if (!stores.primaryPbl)
    {
        session.message << "\nPBL Object not found in Varnex!";
    }
    else if (!stores.backup)
    {
        session.message << "Failed to get Backup Varnex image.";
    }
    else if (!stores.backupPbl)
    {
        session.message << "PBL Object not found in Backup Varnex!";
    }
    return stores.primaryPbl && stores.backupPbl;
}

// Moves the primary store's dynamic pages into the backup store. Pages left
// behind are asked about, or with --auto warned of; false when the transfer
// fails.
bool TransferDynamicPages(EngineeringCommand& command, RepairStores& stores, uint32_t limit)
{
    CLog* log = command.values.log;
    uint32_t left = 0;
    if (!stores.backupPbl->TransferPages(*stores.primaryPbl, limit, left, log))
    {
        std::cout << "Failed to transfer and retire dynamic PBL pages" << std::endl;
        return false;
    }
    if (left != 0 && command.values.autoConfirm)
    {
        *log << LogLevel(4) << "WARNING: " << left << " dynamic pages were not transferred."
             << LogEndl;
    }
    else if (left != 0)
    {
        std::cout << "Not enough room to transfer all dynamic pages\n"
                     "Some pages will not be transferred\n"
                  << kContinueQuestion << std::flush;
        ConfirmOrAbort(log);
    }
    return true;
}

// The backup store, its BBX and ECC data cleared, becomes both stores.
int WriteRepairedStores(EngineeringCommand& command, VarnexSession& session, CVarnexImage& backup)
{
    CLog* log = command.values.log;
    ClearBackupObject(backup, "BBX", log);
    ClearBackupObject(backup, "ECC", log);
    return WriteBack(
        command, session,
        {"Varnex image repaired successfully.", "Failed to repair Varnex image.", kVarnexRefused},
        FileSystemForm(backup, log), backup.GetRawBytes(log), true);
}
} // namespace

static void RepairVarnex(EngineeringCommand& command)
{
    // A limit that is no number is refused before anything is read.
    const std::optional<uint32_t> givenLimit = GivenPageLimit(OptionValue(command, "repairvarnex"));
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Repair Varnex ",
                           "Reading VBIOS image for repairing Varnex."))
    {
        return;
    }
    CLog* log = command.values.log;
    LogCommandLine(log, "Command: repairvarnex");
    if (!session.store)
    {
        command.values.result = ReportNoVarnexImage(kVarnexNoImage, true);
        return;
    }
    RepairStores stores;
    if (!FindRepairStores(command, session, stores))
    {
        CloseVarnexSession(command, session);
        command.values.result = kVarnexRefused;
        return;
    }
    const std::optional<uint32_t> limit =
        givenLimit ? givenLimit : DefaultPageLimit(*stores.primaryPbl, log);
    if (!limit)
    {
        std::cout << "Failed to get PBL object version!\n" << std::endl;
        command.values.result = kVarnexNoImage;
        return;
    }
    *log << LogLevel(3) << "Pages = " << FormatNumber(*limit, 2) << LogEndl;
    const int result = TransferDynamicPages(command, stores, *limit)
                           ? WriteRepairedStores(command, session, *stores.backup)
                           : kVarnexNoImage;
    CloseVarnexSession(command, session);
    command.values.result = result;
}

static void RecoverVarnex(EngineeringCommand& command)
{
    VarnexSession session;
    if (!OpenVarnexSession(command, session, "Action: Recover Varnex information ",
                           "Reading VBIOS image for recovering varnex."))
    {
        return;
    }
    CLog* log = command.values.log;
    // Without a primary store there is nothing the recovery could lose.
    if (session.store && session.store->IsValid() && !command.values.autoConfirm)
    {
        std::cout << "The existing Varnex image is valid. Restoring the Varnex from\n"
                     "the embedded recovery image may cause some data loss.\n"
                  << kContinueQuestion << std::flush;
        ConfirmOrAbort(log);
    }
    CRefPtr<CVarnexImage> backup = command.values.flasher->ReadVarnexObject(session.image, true);
    if (!backup)
    {
        std::cout << "No backup Varnex image exists. The Varnex cannot be recovered." << std::endl;
        command.values.result = kVarnexNoBackup;
        return;
    }
    if (!backup->IsValid())
    {
        std::cout << "The backup Varnex image is not valid. The Varnex cannot be recovered."
                  << std::endl;
        command.values.result = kVarnexNoBackup;
        return;
    }
    backup->UpdateDirectory();
    const int result = WriteBack(
        command, session,
        {"Varnex image recovered successfully.", "Failed to write Varnex image.", kVarnexRefused},
        FileSystemForm(*backup, log));
    CloseVarnexSession(command, session);
    command.values.result = result;
}

CommandFamily VarnexRepairCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"repairvarnex", 1, "[pages]", "Repair the Varnex image from the backup image.", 210},
        {"recovervarnex", 0, "", "Restore the Varnex image from the backup image.", 240},
    };
    static const ChainRow kChain[] = {
        {{"repairvarnex"}, 19, {WritableTarget, OneAdapter}, "", RepairVarnex},
        {{"recovervarnex"}, 22, {WritableTarget, OneAdapter}, "", RecoverVarnex},
    };
    static const UsageRow kUsage[] = {
        {2, 40, "Restore Varnex from embedded IB:", " [options] --recovervarnex"},
    };
    return {kWords, kChain, kUsage};
}
