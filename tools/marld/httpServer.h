// marld's HTTP side (--http): every point, one point, its history, metrics
// for Prometheus, and a page of the raised points for people.
//
// It runs in libmicrohttpd's thread, never in the UDP loop's, so that no
// HTTP client, however slow or hostile, holds the loop up: it reads what the
// loop keeps under Shared::lock, which the loop holds while it handles a
// batch, and holds it itself only while it copies a bounded part (a few
// hundred points at a time). At most 16 connections are served at once;
// further ones are closed at once, idle ones after 10 seconds.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "datagramHandler.h"
#include "history.h"
#include "pointStore.h"

struct MHD_Daemon;

namespace marld {

// What the UDP loop shares with the HTTP side.
struct Shared {
    Shared(PointStore& points, const DatagramHandler& datagrams, const History& changes)
        : store(points), handler(datagrams), history(changes)
    {
    }
    std::mutex lock; // held by whoever reads or changes the three below
    PointStore& store;
    const DatagramHandler& handler;
    const History& history;
    std::atomic<int> udpSocket{-1}; // for the kernel's count of receive-buffer drops
};

class HttpServer {
public:
    // Serves on `at` (port 0: one of the kernel's choosing); null, with
    // `error` set, when it cannot.
    [[nodiscard]] static std::unique_ptr<HttpServer> start(Endpoint at, Shared& shared, std::string& error);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    [[nodiscard]] Endpoint bound() const { return bound_; }

private:
    HttpServer() = default;

    MHD_Daemon* daemon_ = nullptr;
    Endpoint bound_;
    unsigned openConnections_ = 0; // libmicrohttpd's thread's alone
};

} // namespace marld
