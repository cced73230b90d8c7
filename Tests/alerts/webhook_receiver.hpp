// The end of the alert chain in the tests: an HTTP server on loopback that takes Alertmanager's
// webhook notifications and keeps every alert they carry.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace alerttest {

// One alert of a notification, as Alertmanager sent it.
struct ReceivedAlert {
    std::string status; // "firing" or "resolved"
    std::map<std::string, std::string> labels;
    std::map<std::string, std::string> annotations;

    // The label's value; empty when the alert has no such label.
    std::string Label(const std::string& name) const
    {
        const auto found = labels.find(name);
        return found == labels.end() ? std::string() : found->second;
    }
};

class WebhookReceiver {
  public:
    // Listens on 127.0.0.1 at a free port, at the path /alerts.
    WebhookReceiver();
    ~WebhookReceiver();
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;

    std::string Url() const;
    // Every alert received so far, in the order of arrival.
    std::vector<ReceivedAlert> Alerts() const;
    // Requests that were not a notification it could read (their bodies).
    std::vector<std::string> Rejected() const;

  private:
    void Take(const std::string& body);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<ReceivedAlert> alerts_;
    std::vector<std::string> rejected_;
};

} // namespace alerttest
