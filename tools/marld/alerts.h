// marld's raised points, sent to Alertmanager (--alertmanager URL, repeatable)
// as the alerts of its API v2, through libcurl's multi interface driven from
// marld's loop: no thread, and no wait on the network ever holds a datagram.
//
// Every set point is an alert, sent when it is raised and again every
// --alert-resend seconds with an end a few intervals ahead, so that its
// alerts expire if marld is gone; a cleared point is sent once more, ending
// now. Each Alertmanager gets its own queue, a point at most once in it,
// and at most one request at a time, of at most 1,000 alerts; a request that
// fails is made again, from its points as they are then, after a wait that
// doubles up to the resend interval.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "counters.h"
#include "endpoint.h"
#include "eventLoop.h"
#include "journal.h"
#include "lossWatch.h"
#include "pointStore.h"

namespace marld {

struct AlertSettings {
    std::vector<std::string> urls;                              // Alertmanager, "http://host:port"
    std::vector<std::pair<std::string, std::string>> labels;    // --alert-label KEY=VALUE
    std::chrono::seconds resend{60};
};

class AlertSender {
public:
    // Starts sending every set point at once; null, with `error` set, when
    // libcurl cannot be set up or a URL's host cannot be resolved (which is
    // done here, once, so that the loop never waits for a resolver).
    // `page`, when marld serves HTTP, is where each alert's point is shown.
    [[nodiscard]] static std::unique_ptr<AlertSender> start(const AlertSettings& settings, PointStore& store,
                                                            Journal& journal, Counters& counters, EventLoop& loop,
                                                            std::optional<Endpoint> page, std::string& error);
    ~AlertSender();
    AlertSender(const AlertSender&) = delete;
    AlertSender& operator=(const AlertSender&) = delete;

    // Sends what changed since the last call, where no request is waiting.
    void send();

    // marld's own alert, MarldUpdatesLost, raised while `losses` is active,
    // with its count, and resolved when it ends.
    void updatesLost(const LossWatch& losses);

    // The page's banners: each Alertmanager that does not take alerts, since
    // when and why.
    [[nodiscard]] std::vector<std::string> warnings() const;

private:
    struct Target;
    AlertSender(const AlertSettings& settings, PointStore& store, Journal& journal, Counters& counters, EventLoop& loop);

    void sendFrom(Target& target);
    // Takes what libcurl finished: the next request, or a retry of a failed one.
    void finished();
    void countPending();
    [[nodiscard]] std::string alertJson(std::string_view name, const PointState* state,
                                        std::chrono::system_clock::time_point now) const;
    [[nodiscard]] std::string lossAlertJson(std::chrono::system_clock::time_point now) const;
    [[nodiscard]] std::string labelsJson(std::string_view alertname) const;
    // A line when a target's tries begin to fail, or succeed again.
    void noteOutcome(Target& target, bool sent, const std::string& why);

    AlertSettings settings_;
    PointStore& store_;
    Journal& journal_;
    Counters& counters_;
    EventLoop& loop_;
    std::string page_; // "http://HOST:PORT/", or empty without --http
    void* multi_ = nullptr;
    EventLoop::TimerId curlTimer_{};
    EventLoop::TimerId resendTimer_{};
    std::vector<std::unique_ptr<Target>> targets_;
    std::vector<std::string> resolves_; // the CURLOPT_RESOLVE entries, "host:port:address"
    // The loss that MarldUpdatesLost tells, as last sent.
    std::uint64_t lost_ = 0;
    WallClock::time_point lostSince_{};
    std::string lossSummary_; // the page's banner for it
};

} // namespace marld
