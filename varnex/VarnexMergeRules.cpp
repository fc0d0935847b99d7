// The version-transition and merge rules of the Varnex object classes: which
// old object a new one may replace, and what of the old data it keeps. The
// retired-page object's rules live with that object (VarnexPblObject.cpp).

#include "varnex/VarnexObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <algorithm>

namespace
{

void LogOlderSubversion(const CVarnexImageObject& object, CLog* log)
{
    *log << "Error: the new " << TagToString(object.GetTag()) << " object has an older subversion."
         << LogEndl;
}

void LogOlderMajorVersion(const CVarnexImageObject& object, CLog* log)
{
    *log << "Error: the new " << TagToString(object.GetTag())
         << " object has an older major version." << LogEndl;
}

// Product numbers of one repeated character 0x00 or 0xFF were never set.
bool IsBlankProductNumber(
    const std::array<uint8_t, CVarnexImageObdObject::kProductNumberLength>& field)
{
    const uint8_t first = field[0];
    return (first == 0x00 || first == 0xFF) &&
           std::all_of(field.begin(), field.end(), [first](uint8_t c) { return c == first; });
}

} // namespace

// ---- every class without rules of its own: the new data replaces the old ----

bool CVarnexImageObject::CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose,
                                           CLog* log) const
{
    const std::string tag = TagToString(GetTag());
    if (GetVersion() < old.GetVersion())
    {
        *log << "Error: the new " << tag << " object has an older version." << LogEndl;
        return false;
    }
    if (GetVersion() == old.GetVersion() && GetSubversion() < old.GetSubversion())
    {
        LogOlderSubversion(*this, log);
        return false;
    }
    *log << "The " << tag << " object supports the version transition from "
         << unsigned{old.GetVersion()} << "." << unsigned{old.GetSubversion()} << " to "
         << unsigned{GetVersion()} << "." << unsigned{GetSubversion()} << " by" << LogEndl;
    *log << "default. No data will persist, and will be overwritten"
         << " implicitly." << LogEndl;
    mayLose = false;
    return true;
}

bool CVarnexImageObject::MergeFrom(const CVarnexImageObject&, CLog* log)
{
    *log << "Discarding old data for " << TagToString(GetTag()) << " object." << LogEndl;
    return true;
}

std::vector<uint8_t> CVarnexImageObject::BodyFittedFrom(const CVarnexImageObject& old) const
{
    std::vector<uint8_t> body = old.GetData();
    body.resize(GetData().size(), 0);
    return body;
}

// ---- persistent classes (ECC, OBD, PPO): the old body survives a same-major update ----

bool CVarnexImagePersistentObject::CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose,
                                                     CLog* log) const
{
    if (GetVersion() > old.GetVersion())
    {
        mayLose = true;
        return true;
    }
    if (GetVersion() < old.GetVersion())
    {
        LogOlderMajorVersion(*this, log);
        return false;
    }
    if (GetSubversion() < old.GetSubversion())
    {
        LogOlderSubversion(*this, log);
        return false;
    }
    // A shorter body could not hold the old data.
    if (GetData().size() < old.GetData().size())
    {
        return false;
    }
    mayLose = false;
    return true;
}

bool CVarnexImagePersistentObject::MergeFrom(const CVarnexImageObject& old, CLog* log)
{
    if (old.GetVersion() < GetVersion())
    {
        return CVarnexImageObject::MergeFrom(old, log);
    }
    if (old.GetVersion() > GetVersion())
    {
        LogOlderMajorVersion(*this, log);
        return false;
    }
    *log << "Preserving data for " << TagToString(GetTag()) << " object." << LogEndl;
    // Typed classes (OBD, PPO) read their fields from the body, so the kept
    // body is also the table or board data that is written out.
    return SetData(BodyFittedFrom(old));
}

// ---- OEM: versions are not compared ----

bool CVarnexImageOemObject::CanTransitionFrom(const CVarnexImageObject& old, bool& mayLose,
                                              CLog*) const
{
    if (GetData().size() < old.GetData().size())
    {
        return false;
    }
    mayLose = false;
    return true;
}

bool CVarnexImageOemObject::MergeFrom(const CVarnexImageObject& old, CLog*)
{
    return SetData(BodyFittedFrom(old));
}

// ---- OBD: the board data persists; a blank product number takes the new one ----

bool CVarnexImageObdObject::MergeFrom(const CVarnexImageObject& old, CLog* log)
{
    const auto newProductNumber = GetProductNumberField();
    if (!CVarnexImagePersistentObject::MergeFrom(old, log))
    {
        return false;
    }
    if (IsBlankProductNumber(GetProductNumberField()))
    {
        *log << "Updating OBD board product number with input data." << LogEndl;
        return SetBoardProductNumber(newProductNumber);
    }
    return true;
}
