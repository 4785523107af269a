#pragma once
// The real seam implementations of the platform the program was built for.
#include <memory>

#include "platform/metabase.h"
#include "platform/process_system.h"

namespace tarnwell::platform {

// The local metabase: ADSI on Windows (or the MetaBase.xml store when IIS_METABASE is
// set), the MetaBase.xml store on Linux.
std::unique_ptr<IMetabase> OpenLocalMetabase();
// The process system of this machine. Safe to call from several threads.
std::unique_ptr<IProcessSystem> OpenProcessSystem();

}  // namespace tarnwell::platform
