#pragma once
// The question before a Varnex write to an adapter.

#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/adapter/IDisplayAdapter.h"

#include <string>

// Writes an empty line, the question and the prompt to standard output and
// reads one key. 'y' or 'Y' goes on after a line end; any other key unmaps
// the adapter's registers, drops the caller's reference and raises
// user_abort_error "Aborted!" with the display driver given back.
void ConfirmOrReleaseAdapter(CRefPtr<IDisplayAdapter>& adapter, const std::string& question,
                             CLog* log);
