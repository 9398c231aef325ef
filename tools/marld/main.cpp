// marld: the point service, for trying the client library on one machine and
// as the far end of its tests. See usageText() in options.cpp.
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cardinetPortNumbersPlatform.h"
#include "datagramHandler.h"
#include "options.h"
#include "pointNames.h"
#include "pointStore.h"
#include "udpServer.h"
#include "history.h"
#include "httpServer.h"
#include "stateFile.h"

namespace {

constexpr int kUsageError = 2;

int fail(const std::string& message)
{
    std::fprintf(stderr, "marld: %s\n", message.c_str());
    return kUsageError;
}

// The port of the services database's entry, in host order; 0 when there is
// none (a service on port 0 would be no use either).
std::uint16_t servicePort()
{
    const servent* entry = getservbyname(MARL_SERVICE_NAME, nullptr);
    return entry == nullptr ? 0 : ntohs(static_cast<std::uint16_t>(entry->s_port));
}

} // namespace

int main(int argc, char** argv)
{
    // Fully buffered: the I/O loop flushes stdout after each batch of
    // datagrams, and after the listening line and the counters.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    std::string error;
    const auto options = marld::parseOptions(argc, argv, error);
    if (!options) {
        return fail(error + "\nTry 'marld --help' for more information.");
    }
    if (options->help) {
        std::fputs(std::string(marld::usageText()).c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("marld %s\n", MARLD_VERSION);
        return 0;
    }

    marld::PointNames names;
    if (options->pointsFile) {
        std::ifstream file(*options->pointsFile);
        if (!file) {
            return fail("cannot open the points file " + *options->pointsFile + ": " + std::strerror(errno));
        }
        auto listed = marld::PointNames::fromList(file, error);
        if (!listed) {
            return fail(*options->pointsFile + ": " + error);
        }
        names = std::move(*listed);
    }

    marld::ServerSettings settings = options->server;
    if (!options->portGiven) {
        settings.bindTo.port = servicePort();
        if (settings.bindTo.port == 0) {
            return fail("the services database has no \"" MARL_SERVICE_NAME "\" entry; give the port with --port N");
        }
    }

    marld::PointStore store(options->maxPoints);
    marld::History history;
    marld::DatagramHandler handler(store, names);
    // Only where it can be read or kept: recording a flip costs a look-up
    // of its own, which a plain flood should not pay.
    if (options->http || options->stateFile) {
        handler.keepHistory(history);
    }

    std::optional<marld::StateKeeper> keeper;
#ifdef MARLD_STATE_FILE
    std::unique_ptr<marld::StateFile> state;
    if (options->stateFile) {
        state = marld::StateFile::open(*options->stateFile, error);
        if (!state || !state->load(store, history, error)) {
            return fail(error);
        }
        store.trackChanges();
        history.trackRecorded();
        keeper = marld::StateKeeper{[&](std::string& saveError) { return state->save(store, history, saveError); }};
    }
#else
    if (options->stateFile) {
        return fail("--state: this marld was built without SQLite and keeps no state file");
    }
#endif

    marld::Shared shared(store, handler, history);
#ifdef MARLD_HTTP
    std::unique_ptr<marld::HttpServer> http;
    if (options->http) {
        http = marld::HttpServer::start(*options->http, shared, error);
        if (!http) {
            return fail(error);
        }
        settings.httpBound = http->bound();
    }
#else
    if (options->http) {
        return fail("--http: this marld was built without libmicrohttpd and serves no HTTP");
    }
#endif
    return marld::serve(settings, handler, keeper ? &*keeper : nullptr, options->http ? &shared : nullptr);
}
