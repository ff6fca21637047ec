// What each subsystem's Python layer contributes to the module, in the order it is added.
// The files a new function or class touches are listed in docs/develop/layout.rst.
#pragma once

#include "boundary/class_def.h"

namespace ipc_probe::py {

extern const MethodEntry kSnapshotResourcesFunction;
extern const MethodEntry kListOpenFdsFunction;
extern const MethodEntry kRegisterSignalPipeFunction;

extern const ClassDef kResourceSnapshotClass;
extern const ClassDef kBackgroundSamplerClass;
extern const ClassDef kIpcStatsClass;
extern const ClassDef kSocketStatsClass;

}  // namespace ipc_probe::py
