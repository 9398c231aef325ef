#include "alerts.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <unordered_set>

#include "eventFormat.h"
#include "jsonText.h"

namespace marld {

namespace {

// Alerts a request holds at most: 100,000 raised points cost a hundred requests.
constexpr std::size_t kMaxAlerts = 1000;
// Places of the store a resend looks at for one request, at most, so that
// no request is made in one long go among many clear points.
constexpr std::size_t kMaxScanned = 16 * kMaxAlerts;
// How long a request may take, and how long the first wait after a failure.
constexpr long kTimeoutMs = 10'000;
constexpr std::chrono::milliseconds kFirstBackoff{1000};

using std::chrono::system_clock;

} // namespace

struct AlertSender::Target {
    std::size_t number = 0; // its place among the Alertmanagers, which its counts go by
    std::string url;
    // Names of points to send, changes first, each once: a point that changes
    // again before its turn is sent as it is then, so that a slow Alertmanager
    // costs at most one entry a point, however often points change.
    std::deque<std::string> changed;
    std::unordered_set<std::string, NameHash, std::equal_to<>> queued;
    std::size_t resendFrom = SIZE_MAX; // the store's next place in a resend, or none
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    // The request's points, while it is in flight or waits for its retry,
    // and the body of its latest try.
    std::vector<std::string> sending;
    std::string body;
    bool busy = false;
    std::chrono::milliseconds backoff{0};
    EventLoop::TimerId retry{};
    // marld's own alert: due in the next request, or in the current one.
    bool lossDue = false;
    bool lossSending = false;
    // Since when its tries fail, and why; the epoch while they succeed.
    system_clock::time_point failingSince{};
    std::string failure;
};

AlertSender::AlertSender(const AlertSettings& settings, PointStore& store, Journal& journal, Counters& counters,
                         EventLoop& loop)
    : settings_(settings), store_(store), journal_(journal), counters_(counters), loop_(loop)
{
}

std::unique_ptr<AlertSender> AlertSender::start(const AlertSettings& settings, PointStore& store, Journal& journal,
                                                Counters& counters, EventLoop& loop, std::optional<Endpoint> page,
                                                std::string& error)
{
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    std::unique_ptr<AlertSender> sender(new AlertSender(settings, store, journal, counters, loop));
    if (page) {
        // A page served on every address is linked by the machine's name, as
        // Prometheus links its own: 0.0.0.0 would lead nowhere from elsewhere.
        char host[256] = "";
        const bool everywhere = page->addressText() == "0.0.0.0" && gethostname(host, sizeof host - 1) == 0;
        sender->page_ = "http://" + (everywhere ? host + (":" + std::to_string(page->port())) : page->text()) + "/";
    }
    counters.countAlertsFor(settings.urls);
    CURLM* multi = sender->multi_ = global == CURLE_OK ? curl_multi_init() : nullptr;
    if (multi == nullptr) {
        error = "cannot set up libcurl";
        return nullptr;
    }
    AlertSender* self = sender.get();
    // libcurl's sockets are watched by the loop, and its timeout is a timer of the loop's.
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, self);
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, +[](CURL*, curl_socket_t fd, int what, void* user, void*) {
        auto& alerts = *static_cast<AlertSender*>(user);
        const std::uint32_t events = (what & CURL_POLL_IN ? EPOLLIN : 0U) | (what & CURL_POLL_OUT ? EPOLLOUT : 0U);
        std::string ignored;
        if (what == CURL_POLL_REMOVE) {
            alerts.loop_.unwatch(fd);
        } else if (!alerts.loop_.watch(fd, events, [&alerts, fd](std::uint32_t ready) {
                       int running = 0;
                       const int flags = (ready & EPOLLIN ? CURL_CSELECT_IN : 0) | (ready & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                                         (ready & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0);
                       curl_multi_socket_action(alerts.multi_, fd, flags, &running);
                       alerts.finished();
                   }, ignored)) {
            alerts.loop_.change(fd, events); // watched already
        }
        return 0;
    });
    self->curlTimer_ = loop.timer([self] {
        int running = 0;
        curl_multi_socket_action(self->multi_, CURL_SOCKET_TIMEOUT, 0, &running);
        self->finished();
    });
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, self);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, +[](CURLM*, long ms, void* user) {
        auto& alerts = *static_cast<AlertSender*>(user);
        ms < 0 ? alerts.loop_.disarm(alerts.curlTimer_)
               : alerts.loop_.arm(alerts.curlTimer_, EventLoop::Clock::now() + std::chrono::milliseconds(ms));
        return 0;
    });
    for (const std::string& url : settings.urls) {
        // The host is resolved here, once, so that libcurl never starts its
        // resolver's thread while the loop runs.
        const std::size_t hostAt = url.find("://") + 3;
        const std::size_t hostEnd = std::min(url.find_first_of(":/", hostAt), url.size());
        const std::string host = url.substr(hostAt, hostEnd - hostAt);
        const std::string port = url[hostEnd] == ':' ? url.substr(hostEnd + 1, url.find('/', hostEnd) - hostEnd - 1) : "80";
        addrinfo* found = nullptr;
        const addrinfo hints{.ai_flags = 0, .ai_family = AF_UNSPEC, .ai_socktype = SOCK_STREAM, .ai_protocol = 0,
                             .ai_addrlen = 0, .ai_addr = nullptr, .ai_canonname = nullptr, .ai_next = nullptr};
        if (hostAt == 2 || host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
            error = "--alertmanager: cannot find the host of " + url;
            return nullptr;
        }
        char address[INET6_ADDRSTRLEN] = "";
        (void)getnameinfo(found->ai_addr, found->ai_addrlen, address, sizeof address, nullptr, 0, NI_NUMERICHOST);
        freeaddrinfo(found);
        self->resolves_.push_back(host + ":" + port + ":" + (std::string(address).find(':') != std::string::npos ? "[" + std::string(address) + "]" : address));
        auto target = std::make_unique<Target>();
        target->number = self->targets_.size();
        target->url = url + (url.ends_with('/') ? "" : "/") + "api/v2/alerts";
        target->easy = curl_easy_init();
        target->headers = curl_slist_append(nullptr, "Content-Type: application/json");
        curl_slist* resolve = curl_slist_append(nullptr, self->resolves_.back().c_str());
        if (target->easy == nullptr || target->headers == nullptr || resolve == nullptr) {
            error = "cannot set up libcurl";
            return nullptr;
        }
        curl_easy_setopt(target->easy, CURLOPT_URL, target->url.c_str());
        curl_easy_setopt(target->easy, CURLOPT_HTTPHEADER, target->headers);
        curl_easy_setopt(target->easy, CURLOPT_RESOLVE, resolve);
        curl_easy_setopt(target->easy, CURLOPT_TIMEOUT_MS, kTimeoutMs);
        curl_easy_setopt(target->easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(target->easy, CURLOPT_PRIVATE, target.get());
        // The answer's body is not needed.
        curl_easy_setopt(target->easy, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t size, std::size_t count, void*) {
            return size * count;
        });
        Target* raw = target.get();
        target->retry = loop.timer([self, raw] { self->sendFrom(*raw); });
        self->targets_.push_back(std::move(target));
    }
    // Every set point now, and again every --alert-resend seconds.
    self->resendTimer_ = loop.timer([self] {
        for (const auto& target : self->targets_) {
            // A pass still under way goes on: begun again, a pass that takes
            // longer than the interval would never reach its last points.
            if (target->resendFrom == SIZE_MAX) {
                target->resendFrom = 0;
            }
            target->lossDue = target->lossDue || self->lost_ > 0;
            self->sendFrom(*target);
        }
        self->loop_.arm(self->resendTimer_, EventLoop::Clock::now() + self->settings_.resend);
    });
    loop.arm(self->resendTimer_, EventLoop::Clock::now());
    return sender;
}

AlertSender::~AlertSender()
{
    for (const auto& target : targets_) {
        curl_multi_remove_handle(multi_, target->easy);
        curl_easy_cleanup(target->easy);
        curl_slist_free_all(target->headers);
    }
    curl_multi_cleanup(multi_);
}

void AlertSender::send()
{
    std::vector<std::string> changed = journal_.takeChanged();
    if (changed.empty()) {
        return;
    }
    for (const auto& target : targets_) {
        for (const std::string& name : changed) {
            if (target->queued.insert(name).second) {
                target->changed.push_back(name);
            }
        }
        sendFrom(*target);
    }
    countPending();
}

std::string AlertSender::labelsJson(std::string_view alertname) const
{
    std::string labels = "\"alertname\":" + jsonString(alertname);
    for (const auto& [key, value] : settings_.labels) {
        labels += "," + jsonString(key) + ":" + jsonString(value);
    }
    return labels;
}

std::string AlertSender::lossAlertJson(system_clock::time_point now) const
{
    // Lasts a few resends, as a raised point's alert does; ended now once
    // the loss is over.
    return "{\"labels\":{" + labelsJson("MarldUpdatesLost") + "},\"annotations\":{\"summary\":" +
           jsonString(lost_ > 0 ? lossSummary_ : "no update lost for " + std::to_string(LossWatch::kQuiet.count()) + " minutes") +
           ",\"count\":\"" + std::to_string(lost_) + "\"},\"startsAt\":\"" + rfc3339(lostSince_) + "\",\"endsAt\":\"" +
           rfc3339(lost_ > 0 ? now + 4 * settings_.resend : now) + "\"" +
           (page_.empty() ? "" : ",\"generatorURL\":" + jsonString(page_)) + "}";
}

std::string AlertSender::alertJson(std::string_view name, const PointState* state, system_clock::time_point now) const
{
    std::string labels = labelsJson("MarlPointRaised") + ",";
    labels += isValidUtf8(name) ? "\"point\":" + jsonString(name) : "\"pointHex\":\"" + hexText(name) + "\"";
    const bool set = state != nullptr && state->isSet;
    // A raised point's alert lasts a few resends, so that it ends by itself
    // when marld is gone; a cleared point's ends now.
    const auto ends = set ? now + 4 * settings_.resend : now;
    std::string alert = "{\"labels\":{" + labels + "},\"annotations\":{\"summary\":" +
                        jsonString("point " + quotedName(name) + (set ? " is raised" : " is cleared")) +
                        (state != nullptr && state->runtimeInfo ? "," + runtimeInfoWords(*state->runtimeInfo) : "") +
                        "},\"startsAt\":\"" + rfc3339(set ? state->lastChange : now) + "\",\"endsAt\":\"" + rfc3339(ends) + "\"";
    if (!page_.empty()) {
        std::string encoded;
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            encoded += std::isalnum(byte) || c == '-' || c == '_' || c == '.' ? std::string(1, c) : "%" + hexText(std::string(1, c));
        }
        alert += ",\"generatorURL\":" + jsonString(page_ + "?point=" + encoded);
    }
    return alert + "}";
}

void AlertSender::sendFrom(Target& target)
{
    std::vector<std::string>& sending = target.sending;
    const bool failed = !sending.empty() || target.lossSending;
    if (target.busy || (failed && loop_.armed(target.retry))) {
        return; // in flight, or a failed one waits for its retry
    }
    if (!failed) { // a new request, else the failed one again
        for (; sending.size() < kMaxAlerts && !target.changed.empty(); target.changed.pop_front()) {
            sending.push_back(std::move(target.changed.front()));
        }
        const std::size_t changes = sending.size(); // stay queued until the resend below has passed them by
        // A resend leaves out the queued points: they are sent, or will be, as changes.
        for (std::size_t scanned = 0; sending.size() < kMaxAlerts && target.resendFrom < store_.size() && scanned < kMaxScanned;
             ++target.resendFrom, ++scanned) {
            const auto [name, state] = store_.at(target.resendFrom);
            if (state.isSet && !target.queued.contains(name)) {
                sending.emplace_back(name);
            }
        }
        for (std::size_t i = 0; i < changes; ++i) {
            target.queued.erase(sending[i]);
        }
        if (target.resendFrom >= store_.size()) {
            target.resendFrom = SIZE_MAX; // the pass is over: points added later are sent as changes
        }
        target.lossSending = std::exchange(target.lossDue, false);
        if (sending.empty() && !target.lossSending) {
            if (target.resendFrom != SIZE_MAX) {
                loop_.arm(target.retry, EventLoop::Clock::now()); // on with the resend at the next turn
            }
            return;
        }
    }
    // Each try is made from the points as they are then, so that a retry
    // after a long outage carries ends still ahead, never ones that passed.
    const auto now = system_clock::now();
    target.body = "[";
    for (const std::string& name : sending) {
        target.body += (target.body.size() == 1 ? "" : ",") + alertJson(name, store_.find(name), now);
    }
    target.body += target.lossSending ? (target.body.size() == 1 ? "" : ",") + lossAlertJson(now) + "]" : "]";
    curl_easy_setopt(target.easy, CURLOPT_POSTFIELDS, target.body.data());
    curl_easy_setopt(target.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(target.body.size()));
    target.busy = curl_multi_add_handle(multi_, target.easy) == CURLM_OK;
    countPending();
}

void AlertSender::finished()
{
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        Target* target = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &target);
        long status = 0;
        curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
        const bool sent = message->data.result == CURLE_OK && status >= 200 && status < 300;
        curl_multi_remove_handle(multi_, message->easy_handle);
        target->busy = false;
        noteOutcome(*target, sent,
                    message->data.result != CURLE_OK ? curl_easy_strerror(message->data.result) : "HTTP status " + std::to_string(status));
        counters_.add(sent ? Count::alertsSent : Count::alertsFailed, target->number, target->sending.size());
        if (sent) {
            target->sending.clear();
            target->lossSending = false;
            target->backoff = std::chrono::milliseconds(0);
            sendFrom(*target);
        } else {
            // The same request again, after a wait that doubles up to the resend interval.
            target->backoff = std::clamp<std::chrono::milliseconds>(2 * target->backoff, kFirstBackoff, settings_.resend);
            loop_.arm(target->retry, EventLoop::Clock::now() + target->backoff);
        }
    }
    countPending();
}

void AlertSender::noteOutcome(Target& target, bool sent, const std::string& why)
{
    const bool failing = target.failingSince != system_clock::time_point{};
    if (sent && failing) {
        std::fprintf(stderr, "marld: %s takes alerts again, after failing since %s\n", target.url.c_str(),
                     clockTime(target.failingSince).c_str());
        target.failingSince = {};
    } else if (!sent && !failing) {
        std::fprintf(stderr, "marld: cannot send alerts to %s: %s; trying again until it takes them\n",
                     target.url.c_str(), why.c_str());
        target.failingSince = system_clock::now();
    }
    target.failure = why;
}

std::vector<std::string> AlertSender::warnings() const
{
    std::vector<std::string> texts;
    for (const auto& target : targets_) {
        if (target->failingSince != system_clock::time_point{}) {
            texts.push_back("Alertmanager " + target->url + " has taken no alerts since " +
                            clockTime(target->failingSince) + " (" + target->failure + "): alerts wait in marld");
        }
    }
    return texts;
}

void AlertSender::updatesLost(const LossWatch& losses)
{
    // Sent when the loss begins, grows or ends; kept alive by the resends.
    if (losses.lost() == lost_) {
        return;
    }
    lostSince_ = lost_ == 0 ? losses.since() : lostSince_;
    lost_ = losses.lost();
    lossSummary_ = losses.warning();
    for (const auto& target : targets_) {
        target->lossDue = true;
        sendFrom(*target);
    }
}

void AlertSender::countPending()
{
    for (const auto& target : targets_) {
        counters_.set(Count::alertsPending, target->number, target->changed.size() + target->sending.size());
    }
}

} // namespace marld
