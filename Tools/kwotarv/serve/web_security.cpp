// The web configuration file's security, loaded again when its files change.
#include "serve/web_security.hpp"

#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/exit_status.hpp"
#include "serve/basic_auth.hpp"
#include "serve/tls_transport.hpp"
#include "serve/web_config.hpp"

namespace kwotarv {

namespace {

constexpr auto kLookEvery = std::chrono::seconds(1);

// What tells a changed file from the one loaded: its time of last change and its size.
std::string Stamp(const std::vector<std::string>& files)
{
    std::string stamp;
    for (const auto& file : files) {
        std::error_code error;
        const auto time = std::filesystem::last_write_time(file, error);
        const auto size = std::filesystem::file_size(file, error);
        stamp += file + '\n';
        if (!error)
            stamp +=
                std::to_string(time.time_since_epoch().count()) + ' ' + std::to_string(size) + '\n';
    }
    return stamp;
}

} // namespace

struct WebSecurity::Loaded {
    std::vector<std::string> files; // the configuration file and the files it names
    std::string stamp;
    std::shared_ptr<const TransportFactory> tls; // null: plain HTTP
    std::shared_ptr<BasicAuth> auth;
};

// Hands each new connection to the transports of the TLS settings loaded last.
class WebSecurity::CurrentTransports : public TransportFactory {
  public:
    explicit CurrentTransports(WebSecurity& owner) : owner_(owner) {}
    std::unique_ptr<Transport> Open(intptr_t socket) const override
    {
        owner_.RefreshIfChanged();
        return owner_.Current()->tls->Open(socket);
    }
    const char* Scheme() const override { return owner_.Current()->tls->Scheme(); }

  private:
    WebSecurity& owner_;
};

WebSecurity::WebSecurity(std::string path, std::function<void(const std::string&)> report)
    : path_(std::move(path)), report_(std::move(report))
{
    try {
        current_ = Load();
    } catch (const WebConfigError& error) {
        throw ToolError("--web.config.file: " + path_ + ": " + error.what(), kExitUsage);
    }
    nextLook_ = std::chrono::steady_clock::now() + kLookEvery;
}

WebSecurity::~WebSecurity()
{
    if (loader_.joinable())
        loader_.join();
}

// Each file's stamp is taken before it is read, so that a change while loading is seen at the
// next look.
std::shared_ptr<const WebSecurity::Loaded> WebSecurity::Load() const
{
    auto loaded = std::make_shared<Loaded>();
    if (path_.empty()) {
        loaded->auth = std::make_shared<BasicAuth>(std::map<std::string, std::string>{});
        return loaded;
    }
    loaded->files = {path_};
    loaded->stamp = Stamp(loaded->files);
    const WebConfig config = LoadWebConfig(path_);
    if (config.tls)
        for (const auto* file :
             {&config.tls->certFile, &config.tls->keyFile, &config.tls->clientCaFile})
            if (!file->empty()) {
                loaded->files.push_back(*file);
                loaded->stamp += Stamp({*file});
            }
    if (config.tls)
        loaded->tls = MakeTlsTransports(*config.tls);
    loaded->auth = std::make_shared<BasicAuth>(config.basicAuthUsers);
    return loaded;
}

std::shared_ptr<const WebSecurity::Loaded> WebSecurity::Current()
{
    std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<const TransportFactory> WebSecurity::Transports()
{
    if (!Current()->tls)
        return nullptr;
    return std::make_shared<CurrentTransports>(*this);
}

// A look costs a few stat calls, so the server's thread may take it; what it finds changed is
// loaded on a thread of its own (a bcrypt hash for unknown users is made on the way), while
// connections and requests go on with what was loaded before.
void WebSecurity::RefreshIfChanged()
{
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (path_.empty() || loading_ || now < nextLook_)
        return;
    nextLook_ = now + kLookEvery;
    const std::string stamp = Stamp(current_->files);
    if (stamp == current_->stamp || stamp == refused_)
        return;
    loading_ = true;
    if (loader_.joinable())
        loader_.join(); // done: it cleared loading_ last
    loader_ = std::thread([this, before = current_, stamp] { Reload(before, stamp); });
}

// `stamp`: the files as the look found them; a fault is reported once for them.
void WebSecurity::Reload(const std::shared_ptr<const Loaded>& before, const std::string& stamp)
{
    std::shared_ptr<const Loaded> loaded;
    std::string fault;
    try {
        loaded = Load();
        if (!loaded->tls != !before->tls)
            fault = "tls_server_config was added or removed; restart serve to change between "
                    "HTTP and HTTPS";
    } catch (const WebConfigError& error) {
        fault = error.what();
    }
    std::lock_guard lock(mutex_);
    loading_ = false;
    if (fault.empty()) {
        current_ = loaded;
        refused_.clear();
        return;
    }
    report_("kwotarv: serve: --web.config.file: " + path_ + ": " + fault +
            " (the configuration loaded before stays)");
    refused_ = stamp;
}

bool WebSecurity::Allows(const HttpRequest& request)
{
    RefreshIfChanged();
    return Current()->auth->Allows(request.authorization);
}

} // namespace kwotarv
