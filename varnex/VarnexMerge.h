#pragma once
// Merging a new Varnex image with the one an adapter holds. Each object of
// the new image that has an old counterpart asks its class whether it may
// replace the old one (CVarnexImageObject::CanTransitionFrom) and then takes
// over what its class keeps of the old data (CVarnexImageObject::MergeFrom).
// A transition that may lose data needs the option "--ow" + the tag in lower
// case on the command line (--owpbl, --owobd, ...). The merged image is then
// checked against the new one.
//
// Refusals are false results or no image, with their messages on the logger
// (and, for the errors the user must act on, on standard output too);
// nothing here throws or writes an image anywhere.

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "varnex/VarnexImage.h"

#include <string>

// "ow" followed by the tag's three characters in lower case.
std::string OverrideOptionName(const VarnexTag& tag);

// A copy of newImage whose objects have taken over old data from oldImage;
// none when a transition is refused or the result does not validate against
// newImage. Without oldImage the copy is returned as it is. The command line
// (may be none: no override is then set) is only asked which options are set.
CRefPtr<CVarnexImage> MergeVarnexImages(CVarnexImage* newImage, CVarnexImage* oldImage,
                                        ICommandLine* commandLine, CLog* log);

// Merges, in list order, every object of merged that has an old counterpart
// with data in oldImage; stops at the first refusal (objects merged before it
// stay merged). Objects without a counterpart stay as they are.
bool MergeVarnexObjects(CVarnexImage* oldImage, CVarnexImage* merged, ICommandLine* commandLine,
                        CLog* log);

// Refuses objects of different tags; otherwise newObject.MergeFrom(oldObject).
bool CheckSameObjectType(CVarnexImageObject& newObject, const CVarnexImageObject& oldObject,
                         CLog* log);

// Both images valid, their IMG version texts equal, the same object count, and
// every object of source present in merged with data and the same version
// and subversion.
bool ValidateMergedVarnexImage(CVarnexImage* source, CVarnexImage* merged, CLog* log);
