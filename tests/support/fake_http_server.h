#pragma once
// The system's HTTP server as the tests see it: it keeps the handler of each registered
// URL prefix, answers a request by calling it as the server's thread would, refuses a
// prefix the test marks as taken, and forgets a registration when its server is destroyed.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/http_server.h"

namespace tarnwell::testutil {

class FakeHttpServers {
 public:
  // Prefixes another program holds.
  void Take(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    taken_.insert(prefix);
  }

  platform::HttpServerFactory Factory() {
    return [this](const std::string& prefix, platform::HttpHandler handler) -> std::unique_ptr<platform::IHttpServer> {
      std::lock_guard lock(mutex_);
      if (taken_.contains(prefix) || handlers_.contains(prefix)) {
        throw platform::HttpServeError("the URL is registered already, by another program or another Tarnwell");
      }
      handlers_[prefix] = std::move(handler);
      return std::make_unique<Registration>(*this, prefix);
    };
  }

  bool Serves(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return handlers_.contains(prefix);
  }

  // The answer to method path under prefix; none when nothing serves prefix.
  std::optional<platform::HttpResponse> Ask(const std::string& prefix, const std::string& path,
                                            const std::string& method = "GET") const {
    platform::HttpHandler handler;
    {
      std::lock_guard lock(mutex_);
      const auto at = handlers_.find(prefix);
      if (at == handlers_.end()) return std::nullopt;
      handler = at->second;
    }
    return handler(platform::HttpRequest{method, path});
  }

 private:
  class Registration final : public platform::IHttpServer {
   public:
    Registration(FakeHttpServers& owner, std::string prefix) : owner_(owner), prefix_(std::move(prefix)) {}
    ~Registration() override {
      std::lock_guard lock(owner_.mutex_);
      owner_.handlers_.erase(prefix_);
    }

   private:
    FakeHttpServers& owner_;
    std::string prefix_;
  };

  mutable std::mutex mutex_;
  std::set<std::string> taken_;
  std::map<std::string, platform::HttpHandler> handlers_;
};

}  // namespace tarnwell::testutil
