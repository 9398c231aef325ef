// marld's HTTP side (--http): libmicrohttpd driven from marld's one loop, in
// its external mode, so that no HTTP client, however slow or hostile, holds
// the UDP service up: the loop serves the datagrams first, answers are
// produced between its batches, long ones a bounded piece at a time as the
// client takes them, and a client's unsent bytes wait in its own buffers.
// At most 256 connections are served at once, 128 from one address; further
// ones are closed at once, idle ones after 10 seconds, and so are those whose
// request is not complete 10 seconds after the connection opened or its
// previous answer went out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "datagramHandler.h"
#include "eventLoop.h"
#include "httpRoutes.h"

struct MHD_Daemon;

namespace marld {

class HttpServer {
public:
    // Serves `view` on `at` (port 0: one of the kernel's choosing), from
    // `loop`; null, with `error` set, when it cannot.
    [[nodiscard]] static std::unique_ptr<HttpServer> start(Endpoint at, const HttpView& view, EventLoop& loop,
                                                           std::string& error);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    [[nodiscard]] Endpoint bound() const { return bound_; }

    // A connection as marld tracks it, from libmicrohttpd's notice of its
    // start to that of its end.
    struct Connection {
        int fd = -1; // -1: the place is free
        // When its request must be complete; none while it is being answered.
        EventLoop::Clock::time_point deadline = EventLoop::Clock::time_point::max();
    };

private:
    HttpServer(const HttpView& view, EventLoop& loop) : view_(view), loop_(loop) {}
    // Lets libmicrohttpd do what is ready, then rests.
    void run();
    // After a rest, watches again; else libmicrohttpd's timeout has come.
    void timerDue();
    // Gives `connection` kRequestTime from now for its next request.
    void expectRequest(Connection& connection);
    // Closes the connections whose request is late.
    void closeLate();

    HttpView view_;
    EventLoop& loop_;
    EventLoop::TimerId timer_{};
    int epollFd_ = -1;
    bool paused_ = false;
    MHD_Daemon* daemon_ = nullptr;
    Endpoint bound_;
    unsigned openConnections_ = 0;
    std::vector<Connection> connections_; // each a free place or a connection's, never reallocated
    EventLoop::TimerId lateTimer_{};
};

} // namespace marld
