#include "httpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "eventFormat.h"

namespace marld {

namespace {

// An operator's tools (a few scrapers, browsers with their half dozen
// connections each, curl) need a few dozen connections. One address may hold
// half of them, so that a client stalling 64 of its connections, or its
// address's 128, still leaves the other half to everyone else.
constexpr unsigned kMaxConnections = 256;
constexpr unsigned kConnectionsPerAddress = kMaxConnections / 2;
// libmicrohttpd's own limit only stops accepting, which leaves further
// clients waiting in the backlog: it is set higher, and what is beyond
// kMaxConnections is accepted and closed at once.
constexpr unsigned kAcceptedConnections = 2 * kMaxConnections;
// libmicrohttpd's timeout is reset by every byte, so a client sending one
// header line every few seconds would hold its connection for ever: a request
// must also be complete within kRequestTime of the connection's opening or of
// the previous answer, or the connection is closed.
constexpr unsigned kIdleSeconds = 10;
constexpr std::chrono::seconds kRequestTime{10};
// The most bytes of a long answer asked for at one go: a few hundred points,
// a fraction of a millisecond, before the datagrams have their turn again.
constexpr std::size_t kPieceSize = 32 * 1024;
// How long one run of libmicrohttpd produces answers, at most: however many
// clients read long lists, a turn of the loop stays short.
constexpr std::chrono::microseconds kTurnBudget{500};

// The target as it came, query and escapes included: the router decodes it
// itself, so that an encoded '/' stays part of a name. It is the request's
// context, released when the request completes.
void* keepTarget(void*, const char* uri, MHD_Connection*)
{
    return new (std::nothrow) std::string(uri);
}

void forgetTarget(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode)
{
    delete static_cast<std::string*>(*context);
    *context = nullptr;
}

// When this turn's HTTP work is over: answers are produced until then, and
// go on at the next turn. Only the loop's thread serves HTTP.
EventLoop::Clock::time_point turnEnd;

ssize_t readStream(void* stream, std::uint64_t, char* to, std::size_t room)
{
    // Shares of the answer's work until the room is full or the turn's time
    // is up; nothing yet makes libmicrohttpd ask again at its next run.
    auto& points = *static_cast<PointsStream*>(stream);
    std::size_t copied = 0;
    while (copied < room && !points.done() && EventLoop::Clock::now() < turnEnd) {
        copied += points.read(to + copied, room - copied);
    }
    return copied > 0 ? static_cast<ssize_t>(copied) : points.done() ? MHD_CONTENT_READER_END_OF_STREAM : 0;
}

void freeStream(void* stream)
{
    delete static_cast<PointsStream*>(stream);
}

MHD_Response* responseFor(HttpAnswer& answer)
{
    if (answer.stream) {
        MHD_Response* response =
            MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kPieceSize, readStream, answer.stream.get(), freeStream);
        if (response != nullptr) {
            (void)answer.stream.release(); // freeStream's now
        }
        return response;
    }
    return MHD_create_response_from_buffer(answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
}

MHD_Result answerRequest(void* view, MHD_Connection* connection, const char*, const char* method, const char*,
                   const char*, std::size_t*, void** context)
{
    // The request was read: its answer may take as long as the client takes to read it.
    const MHD_ConnectionInfo* known = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (known != nullptr && known->socket_context != nullptr) {
        static_cast<HttpServer::Connection*>(known->socket_context)->deadline = EventLoop::Clock::time_point::max();
    }
    const auto* target = static_cast<const std::string*>(*context);
    HttpAnswer answer;
    MHD_Response* response = nullptr;
    try {
        const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
        answer = target != nullptr ? marld::respond(*static_cast<const HttpView*>(view), method, *target, accept != nullptr ? accept : "")
                                   : HttpAnswer{503, "out of memory\n", "text/plain; charset=utf-8", nullptr};
        response = responseFor(answer);
    } catch (const std::bad_alloc&) {
        return MHD_NO; // the connection is closed
    }
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(answer.type).c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result admit(void* open, const sockaddr*, socklen_t)
{
    return *static_cast<unsigned*>(open) < kMaxConnections ? MHD_YES : MHD_NO;
}

} // namespace


std::unique_ptr<HttpServer> HttpServer::start(Endpoint at, const HttpView& view, EventLoop& loop, std::string& error)
{
    std::unique_ptr<HttpServer> server(new HttpServer(view, loop));
    HttpServer* self = server.get();
    server->connections_.resize(kMaxConnections);
    server->lateTimer_ = loop.timer([self] { self->closeLate(); });
    // Each admitted connection takes a free place, its socket context.
    const auto noteConnection = +[](void* cls, MHD_Connection* connection, void** place, MHD_ConnectionNotificationCode event) {
        auto& http = *static_cast<HttpServer*>(cls);
        if (event != MHD_CONNECTION_NOTIFY_STARTED) {
            --http.openConnections_;
            if (*place != nullptr) {
                *static_cast<Connection*>(*place) = Connection{};
            }
            return;
        }
        ++http.openConnections_;
        const MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const auto free = std::ranges::find(http.connections_, -1, &Connection::fd);
        if (socket != nullptr && free != http.connections_.end()) {
            free->fd = socket->connect_fd;
            *place = &*free;
            http.expectRequest(*free);
        }
    };
    // A request answered, on a connection kept open: the next must come in time.
    const auto answered = +[](void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode code) {
        forgetTarget(nullptr, connection, context, code);
        const MHD_ConnectionInfo* known = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* taken = known != nullptr ? static_cast<Connection*>(known->socket_context) : nullptr;
        if (taken != nullptr && taken->fd >= 0 && code == MHD_REQUEST_TERMINATED_COMPLETED_OK) {
            static_cast<HttpServer*>(cls)->expectRequest(*taken);
        }
    };
    server->daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL, at.port(), admit, &server->openConnections_, answerRequest, &server->view_, MHD_OPTION_SOCK_ADDR,
        &at.address.any, MHD_OPTION_CONNECTION_LIMIT, kAcceptedConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kConnectionsPerAddress, MHD_OPTION_NOTIFY_CONNECTION, noteConnection, self, MHD_OPTION_CONNECTION_TIMEOUT,
        kIdleSeconds, MHD_OPTION_URI_LOG_CALLBACK, keepTarget, nullptr, MHD_OPTION_NOTIFY_COMPLETED, answered, self,
        MHD_OPTION_END);
    const MHD_DaemonInfo* epoll = server->daemon_ != nullptr
                                      ? MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_EPOLL_FD)
                                      : nullptr;
    if (epoll == nullptr) {
        error = "cannot serve HTTP on " + at.text() + ": " + std::strerror(errno);
        return nullptr;
    }
    server->epollFd_ = epoll->epoll_fd;
    server->timer_ = loop.timer([self] { self->timerDue(); });
    if (!loop.watch(epoll->epoll_fd, EPOLLIN, [self](std::uint32_t) { self->run(); }, error)) {
        return nullptr;
    }
    const MHD_DaemonInfo* port = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT);
    server->bound_ = at;
    server->bound_.address.v4.sin_port = htons(port != nullptr ? port->port : at.port());
    return server;
}

void HttpServer::run()
{
    const auto start = EventLoop::Clock::now();
    turnEnd = start + kTurnBudget;
    (void)MHD_run(daemon_);
    // HTTP takes at most half the loop's time: after a turn, libmicrohttpd
    // rests as long as the turn took, its descriptor unwatched meanwhile. So
    // however busy its clients keep it, the loop sleeps at least half the
    // time, and the datagrams never wait behind HTTP for long.
    const auto end = EventLoop::Clock::now();
    loop_.change(epollFd_, 0);
    paused_ = true;
    loop_.arm(timer_, end + (end - start));
}

void HttpServer::timerDue()
{
    if (!paused_) {
        run(); // libmicrohttpd's own timeout
        return;
    }
    paused_ = false;
    loop_.change(epollFd_, EPOLLIN);
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(daemon_, &wait) == MHD_YES) {
        loop_.arm(timer_, EventLoop::Clock::now() + std::chrono::milliseconds(wait));
    }
}

void HttpServer::expectRequest(Connection& connection)
{
    connection.deadline = EventLoop::Clock::now() + kRequestTime;
    if (!loop_.armed(lateTimer_)) {
        loop_.arm(lateTimer_, connection.deadline); // deadlines only come later than those before
    }
}

void HttpServer::closeLate()
{
    const auto now = EventLoop::Clock::now();
    auto next = EventLoop::Clock::time_point::max();
    for (Connection& connection : connections_) {
        if (connection.deadline <= now) {
            // libmicrohttpd sees the end at its next turn and closes the connection.
            (void)shutdown(connection.fd, SHUT_RDWR);
            connection.deadline = EventLoop::Clock::time_point::max();
        }
        next = std::min(next, connection.deadline);
    }
    if (next != EventLoop::Clock::time_point::max()) {
        loop_.arm(lateTimer_, next);
    }
}

HttpServer::~HttpServer()
{
    if (daemon_ != nullptr) {
        if (const MHD_DaemonInfo* epoll = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)) {
            loop_.unwatch(epoll->epoll_fd);
        }
        MHD_stop_daemon(daemon_);
    }
}

} // namespace marld
