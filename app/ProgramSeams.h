#pragma once
// Where the program chooses the seams it runs on; platform/ and metabase/ do not know each
// other, so the choice between them is made here, at the program's start.
#include <memory>
#include <string>

#include "platform/http_server.h"
#include "platform/metabase.h"
#include "platform/process_system.h"

namespace tarnwell {

// The local metabase: on Windows ADSI, or the MetaBase.xml store at IIS_METABASE when that
// is set (the store is built in); on Linux the store at IIS_METABASE, else MetaBase.xml
// beside the executable.
std::unique_ptr<platform::IMetabase> OpenLocalMetabase();
// The MetaBase.xml store over the given file (UTF-8), as IIS_METABASE would name it; raises
// std::runtime_error where the build carries no store.
std::unique_ptr<platform::IMetabase> OpenMetabaseFile(const std::string& path);
// The process system of this machine. Safe to call from several threads.
std::unique_ptr<platform::IProcessSystem> OpenProcessSystem();
// The system's HTTP server: http.sys on Windows; none (empty) on Linux, where the program
// serves no HTTP of its own.
platform::HttpServerFactory SystemHttpServer();

}  // namespace tarnwell
