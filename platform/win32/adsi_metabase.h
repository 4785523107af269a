#pragma once
// The metabase seam over ADSI: the IIS provider's objects reached through activeds.dll,
// called partly through their interfaces and partly late-bound by name. Every call runs
// on a thread that holds a ThreadScope.
#include "platform/win32/win_api.h"
#include <oaidl.h>

#include <memory>
#include <string>

#include "platform/metabase.h"

namespace tarnwell::platform::win32 {

// IISApplicationPool, which mingw-w64 declares but does not define.
inline constexpr GUID kIidIisApplicationPool = {
    0x0B3CB1E1, 0x829A, 0x4C06, {0x8B, 0x09, 0xF5, 0x6D, 0xA1, 0x89, 0x4C, 0x88}};

std::unique_ptr<IMetabase> OpenAdsiMetabase();

// A seam object over any directory object; path names it in error messages. Takes its
// own reference.
std::unique_ptr<IMetabaseObject> WrapAdsiObject(IDispatch* object, std::string path);

}  // namespace tarnwell::platform::win32
