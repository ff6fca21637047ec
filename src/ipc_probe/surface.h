// What each subsystem's Python layer contributes to the module, in the order it is added.
#pragma once

#include "boundary/class_def.h"

namespace ipc_probe::py {

extern const ClassDef kIpcStatsClass;

}  // namespace ipc_probe::py
