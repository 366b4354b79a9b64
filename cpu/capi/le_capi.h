// The per-thread last error that every le_* entry point reports through.
#pragma once

#include <string>

#include "session/le_context.h"

namespace le {
namespace capi {

// The calling thread's last-error string of the le_ family.
std::string& lastError();

}  // namespace capi
}  // namespace le
