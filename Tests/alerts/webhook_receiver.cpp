// Alertmanager's webhook notifications (JSON, version 4), received and kept for the test.
#include "webhook_receiver.hpp"

#include <chrono>
#include <stdexcept>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace alerttest {

WebhookReceiver::WebhookReceiver() : server_(std::make_unique<httplib::Server>())
{
    server_->Post("/alerts", [this](const httplib::Request& request, httplib::Response& response) {
        Take(request.body);
        response.status = 200;
    });
    const int port = server_->bind_to_any_port("127.0.0.1");
    if (port <= 0)
        throw std::runtime_error("the webhook receiver cannot listen on 127.0.0.1");
    port_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Stopping works only once the server runs; connections made before then wait in the
    // listening socket's queue.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server_->is_running()) {
        server_->stop();
        thread_.join();
        throw std::runtime_error("the webhook receiver did not start");
    }
}

WebhookReceiver::~WebhookReceiver()
{
    server_->stop();
    thread_.join();
}

std::string WebhookReceiver::Url() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/alerts";
}

std::vector<ReceivedAlert> WebhookReceiver::Alerts() const
{
    std::lock_guard lock(mutex_);
    return alerts_;
}

std::vector<std::string> WebhookReceiver::Rejected() const
{
    std::lock_guard lock(mutex_);
    return rejected_;
}

void WebhookReceiver::Take(const std::string& body)
{
    std::vector<ReceivedAlert> received;
    try {
        const auto notification = nlohmann::json::parse(body);
        for (const auto& alert : notification.at("alerts"))
            received.push_back({alert.at("status"),
                                alert.at("labels").get<std::map<std::string, std::string>>(),
                                alert.at("annotations").get<std::map<std::string, std::string>>()});
    } catch (const nlohmann::json::exception&) {
        std::lock_guard lock(mutex_);
        rejected_.push_back(body);
        return;
    }
    std::lock_guard lock(mutex_);
    alerts_.insert(alerts_.end(), received.begin(), received.end());
}

} // namespace alerttest
