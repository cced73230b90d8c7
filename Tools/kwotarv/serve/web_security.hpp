// What the web configuration file asks of each connection and request: its transport (TLS or
// plain HTTP) and the basic-auth check. As with Prometheus' own exporters, a changed file takes
// effect without a restart, and so do changed certificate and key files: as connections and
// requests come, at most once a second, serve looks whether any of them changed and loads them
// again. A file with a fault is reported once and the configuration before it kept.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serve/http_message.hpp"
#include "serve/transport.hpp"

namespace kwotarv {

class BasicAuth;

class WebSecurity {
  public:
    // Loads `path` (empty: plain HTTP without auth); ToolError (usage) naming the fault. Faults
    // of later loads go to `report`, called from a loading thread of the object's own.
    WebSecurity(std::string path, std::function<void(const std::string&)> report);
    ~WebSecurity();

    // Null for plain HTTP; else the transports of the TLS settings last loaded.
    std::shared_ptr<const TransportFactory> Transports();
    // Loads the files again if they changed, then checks the request's credentials.
    bool Allows(const HttpRequest& request);

  private:
    struct Loaded;
    class CurrentTransports;

    std::shared_ptr<const Loaded> Load() const;
    std::shared_ptr<const Loaded> Current();
    void RefreshIfChanged();
    void Reload(const std::shared_ptr<const Loaded>& before, const std::string& stamp);

    const std::string path_;
    const std::function<void(const std::string&)> report_;
    std::mutex mutex_;
    std::shared_ptr<const Loaded> current_;
    std::string refused_; // the files' stamp whose fault was last reported
    std::chrono::steady_clock::time_point nextLook_;
    bool loading_ = false;
    std::thread loader_;
};

} // namespace kwotarv
