#include "platform/win32/http_server_win32.h"

#include "platform/win32/win_api.h"

#include <http.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32/native.h"
#include "platform/win32/text.h"
#include "platform/win32/win_handles.h"

namespace tarnwell::platform::win32 {

namespace {

// The entry points of HTTP Server API 1.0, with the system's own parameter lists.
struct HttpApi {
  decltype(&::HttpInitialize) Initialize = nullptr;
  decltype(&::HttpTerminate) Terminate = nullptr;
  decltype(&::HttpCreateHttpHandle) CreateHttpHandle = nullptr;
  decltype(&::HttpAddUrl) AddUrl = nullptr;
  decltype(&::HttpReceiveHttpRequest) ReceiveHttpRequest = nullptr;
  decltype(&::HttpSendHttpResponse) SendHttpResponse = nullptr;
};

// httpapi.dll from the system folder (never one beside the program), loaded once and kept;
// null when this Windows has none.
const HttpApi* BindHttpApi() {
  static const HttpApi* const api = []() -> const HttpApi* {
    wchar_t dir[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    HMODULE module = ::LoadLibraryW((std::wstring(dir, n) + L"\\httpapi.dll").c_str());
    if (module == nullptr) return nullptr;
    static HttpApi bound;
    const auto bind = [module](auto& slot, const char* name) {
      slot = NativeCast<std::remove_reference_t<decltype(slot)>>(::GetProcAddress(module, name));
      return slot != nullptr;
    };
    const bool all = bind(bound.Initialize, "HttpInitialize") && bind(bound.Terminate, "HttpTerminate") &&
                     bind(bound.CreateHttpHandle, "HttpCreateHttpHandle") && bind(bound.AddUrl, "HttpAddUrl") &&
                     bind(bound.ReceiveHttpRequest, "HttpReceiveHttpRequest") &&
                     bind(bound.SendHttpResponse, "HttpSendHttpResponse");
    return all ? &bound : nullptr;
  }();
  return api;
}

std::string Why(ULONG error) {
  switch (error) {
    case ERROR_ALREADY_EXISTS:
      return "the URL is registered already, by another program or another Tarnwell";
    case ERROR_SHARING_VIOLATION:
      return "its port is taken by another program";
    case ERROR_ACCESS_DENIED:
      return "no right to register it (an administrator's, or the service's account, may)";
    case ERROR_INVALID_PARAMETER:
      return "the HTTP Server API does not take it as a URL prefix";
    default:
      return "the HTTP Server API answers error " + std::to_string(error);
  }
}

std::string Verb(const HTTP_REQUEST_V1& request) {
  switch (request.Verb) {
    case HttpVerbGET: return "GET";
    case HttpVerbHEAD: return "HEAD";
    case HttpVerbPOST: return "POST";
    case HttpVerbPUT: return "PUT";
    case HttpVerbDELETE: return "DELETE";
    case HttpVerbOPTIONS: return "OPTIONS";
    default:
      return request.pUnknownVerb != nullptr ? std::string(request.pUnknownVerb, request.UnknownVerbLength)
                                             : std::string("?");
  }
}

class HttpSysServer final : public IHttpServer {
 public:
  HttpSysServer(const HttpApi& api, const std::string& urlPrefix, HttpHandler handler)
      : api_(api), handler_(std::move(handler)) {
    const HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
    if (const ULONG e = api_.Initialize(version, HTTP_INITIALIZE_SERVER, nullptr); e != NO_ERROR) {
      throw HttpServeError(Why(e));
    }
    initialised_ = true;
    HANDLE queue = nullptr;
    if (const ULONG e = api_.CreateHttpHandle(&queue, 0); e != NO_ERROR) {
      Release();
      throw HttpServeError(Why(e));
    }
    queue_.reset(queue);
    if (const ULONG e = api_.AddUrl(queue_.get(), FromUtf8(urlPrefix).c_str(), nullptr); e != NO_ERROR) {
      Release();
      throw HttpServeError(Why(e));
    }
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    io_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_ || !io_) {
      Release();
      throw HttpServeError("no event for its thread, error " + std::to_string(::GetLastError()));
    }
    try {
      thread_ = std::thread([this] { Serve(); });
    } catch (const std::exception& e) {
      Release();
      throw HttpServeError(std::string("no thread to serve it: ") + e.what());
    }
  }

  ~HttpSysServer() override {
    ::SetEvent(stop_.get());
    thread_.join();
    Release();
  }

  HttpSysServer(const HttpSysServer&) = delete;
  HttpSysServer& operator=(const HttpSysServer&) = delete;

 private:
  // Closing the queue takes its URL away.
  void Release() {
    queue_.reset();
    if (initialised_) api_.Terminate(HTTP_INITIALIZE_SERVER, nullptr);
    initialised_ = false;
  }

  // The result of an overlapped call once it has completed, or false when asked to stop
  // first: the call is then cancelled and waited for, so its buffer is free again.
  bool Await(ULONG started, OVERLAPPED& overlapped, ULONG& result, ULONG& bytes) {
    if (started != ERROR_IO_PENDING && started != NO_ERROR && started != ERROR_MORE_DATA) {
      result = started;
      bytes = 0;
      return ::WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0;
    }
    const HANDLE events[] = {io_.get(), stop_.get()};
    DWORD n = 0;
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      ::CancelIo(queue_.get());
      ::GetOverlappedResult(queue_.get(), &overlapped, &n, TRUE);
      return false;
    }
    result = ::GetOverlappedResult(queue_.get(), &overlapped, &n, FALSE) ? NO_ERROR : ::GetLastError();
    bytes = n;
    return true;
  }

  void Serve() {
    // 8-byte units: the request's own alignment.
    std::vector<std::uint64_t> buffer(2048);
    HTTP_REQUEST_ID id = HTTP_NULL_ID;
    for (;;) {
      auto* request = reinterpret_cast<HTTP_REQUEST_V1*>(buffer.data());
      const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
      OVERLAPPED overlapped{};
      overlapped.hEvent = io_.get();
      ::ResetEvent(io_.get());
      ULONG result = 0;
      ULONG bytes = 0;
      const ULONG started = api_.ReceiveHttpRequest(queue_.get(), id, 0, reinterpret_cast<PHTTP_REQUEST>(request),
                                                    size, nullptr, &overlapped);
      if (!Await(started, overlapped, result, bytes)) return;
      if (result == ERROR_MORE_DATA) {
        // The same request again, whole, into a buffer of the size it needs.
        id = request->RequestId;
        buffer.resize(std::max<std::size_t>(bytes / sizeof(std::uint64_t) + 1, buffer.size() * 2));
        continue;
      }
      id = HTTP_NULL_ID;
      if (result == ERROR_CONNECTION_INVALID) continue;  // the client went away meanwhile
      if (result != NO_ERROR) return;                     // the queue is gone: nothing more to serve
      Answer(*request);
    }
  }

  void Answer(const HTTP_REQUEST_V1& request) {
    HttpRequest asked;
    asked.method = Verb(request);
    std::wstring_view path(request.CookedUrl.pAbsPath != nullptr ? request.CookedUrl.pAbsPath : L"/",
                           request.CookedUrl.pAbsPath != nullptr ? request.CookedUrl.AbsPathLength / sizeof(wchar_t) : 1);
    path = path.substr(0, path.find(L'?'));
    asked.path = ToUtf8(path);
    HttpResponse answer;
    try {
      answer = handler_(asked);
    } catch (const std::exception&) {
      answer = {500, "Internal Server Error", "text/plain", {}, "The page could not be made\n"};
    }
    HTTP_RESPONSE_V1 response{};
    response.StatusCode = static_cast<USHORT>(answer.status);
    response.pReason = answer.reason.c_str();
    response.ReasonLength = static_cast<USHORT>(answer.reason.size());
    const auto header = [&response](HTTP_HEADER_ID which, const std::string& value) {
      if (value.empty()) return;
      response.Headers.KnownHeaders[which].pRawValue = value.c_str();
      response.Headers.KnownHeaders[which].RawValueLength = static_cast<USHORT>(value.size());
    };
    header(HttpHeaderContentType, answer.contentType);
    header(HttpHeaderAllow, answer.allow);
    HTTP_DATA_CHUNK chunk{};
    chunk.DataChunkType = HttpDataChunkFromMemory;
    chunk.FromMemory.pBuffer = answer.body.data();
    chunk.FromMemory.BufferLength = static_cast<ULONG>(answer.body.size());
    if (!answer.body.empty()) {
      response.EntityChunkCount = 1;
      response.pEntityChunks = &chunk;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_.get();
    ::ResetEvent(io_.get());
    ULONG result = 0;
    ULONG bytes = 0;
    // A client that stops reading cannot hold the stop up: the send is awaited like a receive.
    Await(api_.SendHttpResponse(queue_.get(), request.RequestId, 0, reinterpret_cast<PHTTP_RESPONSE>(&response),
                                nullptr, nullptr, nullptr, 0, &overlapped, nullptr),
          overlapped, result, bytes);
  }

  const HttpApi& api_;
  HttpHandler handler_;
  bool initialised_ = false;
  UniqueHandle queue_;
  UniqueHandle stop_;  // set: the thread ends
  UniqueHandle io_;    // the thread's overlapped calls
  std::thread thread_;
};

}  // namespace

std::unique_ptr<IHttpServer> ServeHttp(const std::string& urlPrefix, HttpHandler handler) {
  const HttpApi* api = BindHttpApi();
  if (api == nullptr) {
    throw HttpServeError("this Windows has no HTTP Server API (httpapi.dll, from Windows Server 2003 SP1 on)");
  }
  return std::make_unique<HttpSysServer>(*api, urlPrefix, std::move(handler));
}

}  // namespace tarnwell::platform::win32
