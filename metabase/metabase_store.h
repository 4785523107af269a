#pragma once
// The MetaBase.xml store: the metabase seam over a file in IIS 6's MetaBase.xml format.
#include <memory>
#include <string>

#include "platform/metabase.h"

namespace tarnwell::standin {

// Opens the store over the file; nothing is read until the first Bind. The file is read
// again only when it changed on disk; every change is saved at once (new file renamed over
// the old one, under flock on "<path>.lock"). One store may serve several threads; each
// object it gives serves one thread at a time and answers from the file as it was bound.
std::unique_ptr<platform::IMetabase> OpenMetabaseStore(const std::string& path);

}  // namespace tarnwell::standin
