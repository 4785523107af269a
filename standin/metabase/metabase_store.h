#pragma once
// The MetaBase.xml store: the metabase seam over a file in IIS 6's MetaBase.xml format.
#include <memory>
#include <string>

#include "platform/metabase.h"

namespace tarnwell::standin {

// Opens the store over the file; nothing is read until the first Bind.
std::unique_ptr<platform::IMetabase> OpenMetabaseStore(const std::string& path);

}  // namespace tarnwell::standin
