#pragma once
// Which MetaBase.xml the provider answers from, and the one store per file that every
// object bound from it shares.
#include <memory>
#include <string>

#include "platform/metabase.h"

namespace tarnwell::standin::adsi {

// TARNWELL_STANDIN_METABASE (a full path) when set, so that each test can use its own copy;
// else where IIS 6 keeps its metabase, %windir%\system32\inetsrv\MetaBase.xml. A 32-bit
// provider on 64-bit Windows looks through %windir%\Sysnative where the system has it, so
// that it reads the file of the 64-bit IIS rather than a redirected one.
std::wstring MetabaseFile();

// The store over the file, opened on first use and kept for the process's life: it reads
// the file again only when it changed, so binds after the first cost no parse.
std::shared_ptr<platform::IMetabase> StoreFor(const std::wstring& file);

}  // namespace tarnwell::standin::adsi
