// The beginning and end every Varnex command that works on an adapter
// shares, the checks before a command writes, its confirmations and the
// write-back of a changed store.

#include "app/engineering/VarnexSession.h"

#include "app/AdapterConfirmation.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "flasher/DisplayDriverGuard.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

bool OpenVarnexSession(EngineeringCommand& command, VarnexSession& session,
                       const std::string& actionText, const std::string& readingText)
{
    EngineeringValues& values = command.values;
    values.log->SetLevel(3);
    *values.log << actionText << LogEndl;
    values.ui->Signal(0);
    values.ui->ShowMessage(0, readingText);
    const int status = values.flasher->GetAdapterImages(
        values.adapters, command.adapter, nullptr, session.eeprom, session.image, session.store,
        command.app.HasEngineeringFeatures());
    if (status != 0)
    {
        values.result = status;
    }
    return status == 0;
}

void CloseVarnexSession(EngineeringCommand& command, VarnexSession& session)
{
    FlushMessageBuffer(session.message, command.values.log, 3);
    command.values.ui->Signal(1);
}

int ReportNoVarnexImage(int status, bool fullStop)
{
    std::cout << "Varnex image is not present" << (fullStop ? "." : "") << std::endl;
    return status;
}

void LogCommandLine(CLog* log, const std::string& text)
{
    *log << LogLevel(3) << "\n\n" << text << LogEndl;
}

void RefuseCommand(CLog* log, const std::string& text)
{
    CDisplayDriverRestoreGuard restoreOnFailure(log, DisplayRestore::OnFailure);
    throw user_error(text);
}

void AskToUpdate(EngineeringCommand& command, const std::string& question, bool skip)
{
    if (skip)
    {
        std::cout << std::endl;
        return;
    }
    ConfirmOrReleaseAdapter(command.adapter, question, command.values.log);
}

int WriteBack(EngineeringCommand& command, VarnexSession& session, WriteBackTexts texts,
              std::vector<uint8_t> primary, std::vector<uint8_t> backup, bool hasBackup)
{
    // A store that cannot be laid out is not handed on: the engine would
    // write a block without it.
    const bool written =
        !primary.empty() && command.values.flasher->BuildAndFlashSuperImage(
                                command.adapter, session.eeprom, session.image, primary, backup,
                                hasBackup, command.values.log, nullptr);
    session.message << (written ? texts.success : texts.failure);
    return written ? kVarnexDone : texts.failureStatus;
}

std::vector<uint8_t> FileSystemForm(const CVarnexImage& store, CLog* log)
{
    return store.Serialize(CVarnexImage::kSerializeFileSystem, log);
}

std::optional<uint32_t> ReadNumberOfAnyBase(const std::string& text, uint32_t limit)
{
    // Digits only from the first character: no sign, no blank.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())))
    {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > limit)
    {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::string OptionValue(EngineeringCommand& command, const std::string& word, int index)
{
    return command.values.commandLine->GetValue(word, 0, index);
}

void ClearStoreObject(CVarnexImageObject& object)
{
    if (object.GetTag() == VarnexTag("ECC"))
    {
        object.SetData(std::vector<uint8_t>(object.GetData().size(), 0));
        return;
    }
    object.Clear();
}
