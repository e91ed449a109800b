// The platform layer: where our own executable file lies.
#pragma once

#include "launcher_core.h"

namespace brindlecap::launcher {

// The path of the running executable as the system reports it (not yet
// resolved), or the error text of the failure.
TextResult executable_path();

}  // namespace brindlecap::launcher
