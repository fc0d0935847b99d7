#include "varnex/VarnexMerge.h"

#include "varnex/VarnexTypedObjects.h"

#include <cctype>
#include <sstream>

namespace
{

// Reported: on the logger at level 3 and on standard output.
void Report(std::ostringstream& message, CLog* log)
{
    FlushMessageBuffer(message, log, 3);
}

// Whether the transition from old to object may go ahead, with the messages
// of a refusal and of an override.
bool TransitionAllowed(const CVarnexImageObject& object, const CVarnexImageObject& old,
                       ICommandLine* commandLine, CLog* log)
{
    const std::string tag = TagToString(object.GetTag());
    const std::string option = OverrideOptionName(object.GetTag());
    const bool overridden = commandLine != nullptr && commandLine->IsSet(option);

    bool mayLose = true;
    std::ostringstream message;
    if (!object.CanTransitionFrom(old, mayLose, log))
    {
        message << "Error: The requested version transition for the " << tag
                << " object is not supported.";
        Report(message, log);
        return false;
    }
    if (!mayLose)
    {
        return true;
    }
    if (!overridden)
    {
        message << "Error: The requested version transition for the " << tag
                << " object is supported, but\n"
                << "       some data may be lost. Please pass in the '--" << option
                << "' flag to allow this.";
        Report(message, log);
        return false;
    }
    *log << "The '--" << option << "' flag was specified, will attempt merge." << LogEndl;
    return true;
}

// Logs the failure and returns false, for the validation's one-line checks.
bool Invalid(CLog* log, const char* text)
{
    *log << text << LogEndl;
    return false;
}

} // namespace

std::string OverrideOptionName(const VarnexTag& tag)
{
    std::string name = "ow";
    for (const char c : TagToString(tag))
    {
        name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return name;
}

CRefPtr<CVarnexImage> MergeVarnexImages(CVarnexImage* newImage, CVarnexImage* oldImage,
                                        ICommandLine* commandLine, CLog* log)
{
    // The copy is read back from the new image's raw form, so the new image
    // itself is never changed.
    const std::vector<uint8_t> bytes = newImage != nullptr
                                           ? newImage->Serialize(CVarnexImage::kSerializeRaw, log)
                                           : std::vector<uint8_t>{};
    CRefPtr<CVarnexImage> merged(new CVarnexImage(bytes));
    if (!MergeVarnexObjects(oldImage, merged.get(), commandLine, log) ||
        !ValidateMergedVarnexImage(newImage, merged.get(), log))
    {
        return nullptr;
    }
    return merged;
}

bool MergeVarnexObjects(CVarnexImage* oldImage, CVarnexImage* merged, ICommandLine* commandLine,
                        CLog* log)
{
    if (merged == nullptr)
    {
        std::ostringstream message;
        message << "Invalid merged Varnex image.";
        LogMessage(message, 4, true);
        return false;
    }
    if (oldImage == nullptr)
    {
        return true;
    }
    for (CVarnexImageObject* object : merged->GetObjects())
    {
        const CVarnexImageObject* old = oldImage->FindObject(object->GetTag());
        if (old == nullptr || !old->HasData())
        {
            continue;
        }
        if (!TransitionAllowed(*object, *old, commandLine, log) ||
            !CheckSameObjectType(*object, *old, log))
        {
            return false;
        }
    }
    return true;
}

bool CheckSameObjectType(CVarnexImageObject& newObject, const CVarnexImageObject& oldObject,
                         CLog* log)
{
    if (newObject.GetTag() != oldObject.GetTag())
    {
        *log << "Error: attempting to merge objects of different types ("
             << TagToString(oldObject.GetTag()) << ", " << TagToString(newObject.GetTag()) << ")!"
             << LogEndl;
        return false;
    }
    return newObject.MergeFrom(oldObject, log);
}

bool ValidateMergedVarnexImage(CVarnexImage* source, CVarnexImage* merged, CLog* log)
{
    if (merged == nullptr || !merged->IsValid())
    {
        return Invalid(log, "Invalid merged Varnex image.");
    }
    if (source == nullptr || !source->IsValid())
    {
        return Invalid(log, "Invalid source Varnex image.");
    }
    const auto* sourceImg =
        dynamic_cast<const CVarnexImageImgObject*>(source->FindObject(VarnexTags::IMG));
    const auto* mergedImg =
        dynamic_cast<const CVarnexImageImgObject*>(merged->FindObject(VarnexTags::IMG));
    if (sourceImg == nullptr || mergedImg == nullptr)
    {
        return Invalid(log, "Invalid IMG object in Varnex image.");
    }
    if (sourceImg->GetVersionText() != mergedImg->GetVersionText())
    {
        return Invalid(log, "Invalid Image version after merge.");
    }
    if (source->GetObjectCount() != merged->GetObjectCount())
    {
        return Invalid(log, "Invalid object counts in merged Varnex image.");
    }
    for (const CVarnexImageObject* object : source->GetObjects())
    {
        const CVarnexImageObject* found = merged->FindObject(object->GetTag());
        if (found == nullptr || !found->HasData())
        {
            return Invalid(log, "Missing object in merged Varnex image.");
        }
        if (found->GetVersion() != object->GetVersion() ||
            found->GetSubversion() != object->GetSubversion())
        {
            return Invalid(log, "Invalid object version in merged Varnex image.");
        }
    }
    return true;
}
