#include "httpServer.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>

#include "eventFormat.h"
#include "statusPage.h"

namespace marld {

namespace {

constexpr unsigned kMaxConnections = 16;
// libmicrohttpd's own limit only stops accepting, which leaves further
// clients waiting in the backlog: it is set higher, and what is beyond
// kMaxConnections is accepted and closed at once.
constexpr unsigned kAcceptedConnections = 4 * kMaxConnections;
constexpr unsigned kIdleSeconds = 10;
// The longest target served: a name of the longest kind, every byte
// percent-encoded, fits with room to spare.
constexpr std::size_t kMaxTarget = 4096;
// Points copied per hold of the lock.
constexpr std::size_t kSlotsPerHold = 256;

struct Answer {
    unsigned status = MHD_HTTP_OK;
    std::string body;
    const char* type = "application/json";
};

Answer error(unsigned status, std::string_view text)
{
    return {status, std::string(text) + "\n", "text/plain; charset=utf-8"};
}

int hexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The bytes a percent-encoded path segment stands for; nothing when an
// escape is not two hexadecimal digits.
std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        const int a = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        const int b = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (a < 0 || b < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(a * 16 + b);
        i += 2;
    }
    return bytes;
}

std::uint64_t kernelDrops(int fd)
{
    std::array<std::uint32_t, SK_MEMINFO_VARS> info{};
    socklen_t size = sizeof info;
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info.data(), &size) == 0 ? info[SK_MEMINFO_DROPS] : 0;
}

} // namespace

// One request's routing, with the lock taken only where the loop's state is read.
struct HttpRequest {
    Shared& shared;

    Answer points(std::optional<bool> wanted) const
    {
        std::string body = "[";
        std::size_t slots = 0;
        bool first = true;
        for (std::size_t from = 0;; from += kSlotsPerHold) {
            const std::lock_guard hold(shared.lock);
            if (from != 0 && slots != shared.store.slotCount()) {
                body = "["; // the table grew meanwhile: its slots moved
                first = true;
                from = 0;
            }
            slots = shared.store.slotCount();
            if (from >= slots) {
                break;
            }
            shared.store.forEachInSlots(from, kSlotsPerHold, [&](std::string_view name, const PointState& state) {
                if (!wanted || state.isSet == *wanted) {
                    body += (std::exchange(first, false) ? "" : ",") + pointJson(name, state);
                }
            });
        }
        return {MHD_HTTP_OK, body + "]\n"};
    }

    Answer point(const std::string& name, bool history) const
    {
        const std::lock_guard hold(shared.lock);
        const PointState* state = shared.store.find(name);
        if (state == nullptr) {
            return error(MHD_HTTP_NOT_FOUND, "no such point");
        }
        if (!history) {
            return {MHD_HTTP_OK, pointJson(name, *state) + "\n"};
        }
        std::string body = "[";
        for (const StateChange& change : shared.history.of(name)) {
            body += (body.size() > 1 ? "," : "") + changeJson(change);
        }
        return {MHD_HTTP_OK, body + "]\n"};
    }

    Answer metrics() const
    {
        Counters counted;
        std::optional<std::uint32_t> replyCode;
        std::size_t known = 0;
        std::size_t set = 0;
        {
            const std::lock_guard hold(shared.lock);
            counted = shared.handler.counters();
            replyCode = shared.handler.testAids().replyCode;
            known = shared.store.size();
            set = shared.store.setCount();
        }
        std::string text;
        const auto family = [&](const char* name, const char* type, const char* help) {
            text += std::string("# TYPE marld_") + name + " " + type + "\n# HELP marld_" + name + " " + help + "\n";
        };
        const auto sample = [&](const char* name, std::string_view labels, std::uint64_t value) {
            text += std::string("marld_") + name + std::string(labels) + " " + std::to_string(value) + "\n";
        };
        family("datagrams_received", "counter", "Datagrams received on the UDP socket.");
        sample("datagrams_received_total", "", counted.received);
        family("datagrams_accepted", "counter", "Updates and queries accepted.");
        sample("datagrams_accepted_total", "", counted.accepted());
        family("datagrams_dropped", "counter", "Datagrams dropped, by reason.");
        for (std::size_t i = 0; i < kDropReasonNames.size(); ++i) {
            sample("datagrams_dropped_total", "{reason=\"" + std::string(kDropReasonNames[i]) + "\"}",
                   counted.dropped[i]);
        }
        family("updates_withheld", "counter", "Updates withheld by --drop-updates.");
        sample("updates_withheld_total", "", counted.updatesWithheld);
        family("receive_buffer_drops", "counter", "Datagrams the kernel dropped with the receive buffer full.");
        sample("receive_buffer_drops_total", "", kernelDrops(shared.udpSocket.load()));
        family("queries", "counter", "Queries answered, by the reply's return code.");
        // Every reply carries --reply-code's code when it is given.
        std::map<std::uint32_t, std::uint64_t> byCode{{MARL_MSG_RC_OK, counted.queries - counted.queriesRefused},
                                                      {MARL_MSG_RC_INVALID_POINT_ID, counted.queriesRefused}};
        if (replyCode) {
            byCode = {{MARL_MSG_RC_OK, 0}, {MARL_MSG_RC_INVALID_POINT_ID, 0}};
            byCode[*replyCode] = counted.queries;
        }
        for (const auto& [code, count] : byCode) {
            sample("queries_total", "{code=\"" + std::to_string(code) + "\"}", count);
        }
        family("points", "gauge", "Points known.");
        sample("points", "", known);
        family("points_set", "gauge", "Points set.");
        sample("points_set", "", set);
        return {MHD_HTTP_OK, text + "# EOF\n", "application/openmetrics-text; version=1.0.0; charset=utf-8"};
    }

    Answer route(std::string_view method, std::string_view target, const char* stateArgument) const
    {
        if (target.size() > kMaxTarget) {
            return error(MHD_HTTP_URI_TOO_LONG, "the target is too long");
        }
        const bool known =
            target == "/" || target == "/metrics" || target == "/points" || target.starts_with("/points/");
        if (!known) {
            return error(MHD_HTTP_NOT_FOUND, "no such resource");
        }
        if (method != "GET" && method != "HEAD") {
            return error(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD");
        }
        if (target == "/") {
            return Answer{MHD_HTTP_OK, std::string(statusPage()), "text/html; charset=utf-8"};
        }
        if (target == "/metrics") {
            return metrics();
        }
        if (target == "/points") {
            const std::string_view state = stateArgument != nullptr ? stateArgument : "";
            if (stateArgument != nullptr && state != "set" && state != "clear") {
                return error(MHD_HTTP_BAD_REQUEST, "state is set or clear");
            }
            return points(stateArgument == nullptr ? std::nullopt : std::optional(state == "set"));
        }
        std::string_view rest = target.substr(std::strlen("/points/"));
        const bool history = rest.ends_with("/history");
        rest.remove_suffix(history ? std::strlen("/history") : 0);
        const auto name = percentDecoded(rest);
        if (!name || rest.find('/') != std::string_view::npos) {
            return error(name ? MHD_HTTP_NOT_FOUND : MHD_HTTP_BAD_REQUEST,
                         name ? "no such resource" : "a bad percent-encoding in the point's name");
        }
        return point(*name, history);
    }
};

namespace {

// The target as it came: names are percent-decoded by the router, so that
// an encoded '/' stays part of a name.
std::size_t keepEscapes(void*, MHD_Connection*, char* text)
{
    return std::strlen(text);
}

MHD_Result respond(void* context, MHD_Connection* connection, const char* url, const char* method, const char*,
                   const char*, std::size_t*, void**)
{
    const HttpRequest request{*static_cast<Shared*>(context)};
    Answer answer;
    try {
        answer = request.route(method, url,
                               MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "state"));
    } catch (const std::bad_alloc&) {
        answer = error(MHD_HTTP_SERVICE_UNAVAILABLE, "out of memory");
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

// Both run in libmicrohttpd's one thread.
MHD_Result admit(void* open, const sockaddr*, socklen_t)
{
    return *static_cast<unsigned*>(open) < kMaxConnections ? MHD_YES : MHD_NO;
}

void countConnections(void* open, MHD_Connection*, void**, MHD_ConnectionNotificationCode event)
{
    *static_cast<unsigned*>(open) += event == MHD_CONNECTION_NOTIFY_STARTED ? 1U : -1U;
}

} // namespace

std::unique_ptr<HttpServer> HttpServer::start(Endpoint at, Shared& shared, std::string& error)
{
    std::unique_ptr<HttpServer> server(new HttpServer());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(at.address);
    address.sin_port = htons(at.port);
    server->daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, at.port, admit, &server->openConnections_, respond, &shared,
        MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, kAcceptedConnections,
        MHD_OPTION_NOTIFY_CONNECTION, countConnections, &server->openConnections_,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_UNESCAPE_CALLBACK, keepEscapes, nullptr,
        MHD_OPTION_END);
    if (server->daemon_ == nullptr) {
        error = "cannot serve HTTP on " + endpointText(at) + ": " + std::strerror(errno);
        return nullptr;
    }
    const MHD_DaemonInfo* port = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT);
    server->bound_ = Endpoint{at.address, port != nullptr ? port->port : at.port};
    return server;
}

HttpServer::~HttpServer()
{
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
}

} // namespace marld
