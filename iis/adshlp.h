#pragma once
// Binding metabase paths through the metabase seam, the two ways the program does it:
// a late-bound object whose bind result is not looked at, and a container whose bind
// result decides whether the caller goes on. Called from worker threads.
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/metabase.h"

namespace tarnwell {

// Binds the path. A failed bind is not reported here: it gives an object whose every
// call raises MetabaseError kErrNotBound, naming the path and why the bind failed.
std::unique_ptr<platform::IMetabaseObject> GetMetabaseObject(platform::IMetabase& metabase, std::string_view path);

// Binds the path as a container: 0 and the object in `container` when bound, else the
// failure code and a null `container`. Only MetabaseError counts as a failed bind.
std::uint32_t BindContainer(platform::IMetabase& metabase, std::string_view path,
                            std::unique_ptr<platform::IMetabaseObject>& container);

}  // namespace tarnwell
