#pragma once
// The system's HTTP server on Windows: the HTTP Server API 1.0 of httpapi.dll (http.sys,
// the kernel's server that IIS 6 runs on), bound at run time since Windows Server 2003
// before SP1 has none.
#include <memory>
#include <string>

#include "platform/http_server.h"

namespace tarnwell::platform::win32 {

// An HttpServerFactory: registers urlPrefix on a request queue of its own and answers its
// requests on a thread of its own until destroyed. Raises HttpServeError.
std::unique_ptr<IHttpServer> ServeHttp(const std::string& urlPrefix, HttpHandler handler);

}  // namespace tarnwell::platform::win32
