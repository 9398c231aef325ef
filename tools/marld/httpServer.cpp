#include "httpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <new>

#include "eventFormat.h"

namespace marld {

namespace {

constexpr unsigned kMaxConnections = 16;
// libmicrohttpd's own limit only stops accepting, which leaves further
// clients waiting in the backlog: it is set higher, and what is beyond
// kMaxConnections is accepted and closed at once.
constexpr unsigned kAcceptedConnections = 4 * kMaxConnections;
constexpr unsigned kIdleSeconds = 10;
// The most bytes of a long answer produced at one go: a few dozen points,
// a few tens of microseconds, before the datagrams have their turn again.
constexpr std::size_t kPieceSize = 4 * 1024;
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
    if (EventLoop::Clock::now() >= turnEnd) {
        return 0; // libmicrohttpd asks again at its next run
    }
    const std::size_t count = static_cast<PointsStream*>(stream)->read(to, room);
    return count == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(count);
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
    const auto* target = static_cast<const std::string*>(*context);
    HttpAnswer answer;
    MHD_Response* response = nullptr;
    try {
        answer = target != nullptr ? marld::respond(*static_cast<const HttpView*>(view), method, *target)
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

void countConnections(void* open, MHD_Connection*, void**, MHD_ConnectionNotificationCode event)
{
    *static_cast<unsigned*>(open) += event == MHD_CONNECTION_NOTIFY_STARTED ? 1U : -1U;
}

} // namespace

std::unique_ptr<HttpServer> HttpServer::start(Endpoint at, const HttpView& view, EventLoop& loop, std::string& error)
{
    std::unique_ptr<HttpServer> server(new HttpServer(view, loop));
    server->daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL, at.port(), admit, &server->openConnections_, answerRequest, &server->view_, MHD_OPTION_SOCK_ADDR,
        &at.address.any, MHD_OPTION_CONNECTION_LIMIT, kAcceptedConnections, MHD_OPTION_NOTIFY_CONNECTION, countConnections,
        &server->openConnections_, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_URI_LOG_CALLBACK,
        keepTarget, nullptr, MHD_OPTION_NOTIFY_COMPLETED, forgetTarget, nullptr, MHD_OPTION_END);
    const MHD_DaemonInfo* epoll = server->daemon_ != nullptr
                                      ? MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_EPOLL_FD)
                                      : nullptr;
    if (epoll == nullptr) {
        error = "cannot serve HTTP on " + at.text() + ": " + std::strerror(errno);
        return nullptr;
    }
    HttpServer* self = server.get();
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
