// marld: the point service, for trying the client library on one machine and
// as the far end of its tests. See usageText() in options.cpp.
#include <netdb.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "cardinetPortNumbersPlatform.h"
#include "journal.h"
#include "options.h"
#include "pointNames.h"
#include "pointStore.h"
#include "service.h"
#include "systemd.h"
#ifdef MARLD_STATE_FILE
#include "stateFile.h"
#endif

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
    // Fully buffered: the loop flushes stdout after each batch of datagrams,
    // and after the listening line and the counters.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    std::string error;
    const auto options = marld::parseOptions(argc, argv, error);
    if (!options) {
        return fail(error + "\nTry 'marld --help' for more information.");
    }
    if (options->help) {
        std::fputs(marld::usageText().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("marld %s\n", MARLD_VERSION);
        return 0;
    }
    // The stop signals are taken from the loop's wait (a signalfd): blocked
    // here, before any thread starts, so that every thread inherits the mask.
    // A reader that closed our stdout must not kill the service.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int stopSignals = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopSignals < 0) {
        return fail(std::string("cannot watch for signals: ") + std::strerror(errno));
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
    const int passed = marld::passedSocket(error);
    marld::Endpoint bindTo = options->bind;
    bindTo.setPort(options->port.value_or(passed >= 0 ? 0 : servicePort()));
    if (passed == -2) {
        return fail(error);
    }
    if (passed < 0 && bindTo.port() == 0 && !options->port) {
        return fail("the services database has no \"" MARL_SERVICE_NAME "\" entry; give the port with --port N");
    }
#ifndef MARLD_HTTP
    if (options->http) {
        return fail("--http: this marld was built without libmicrohttpd and serves no HTTP");
    }
#endif
#ifndef MARLD_ALERTS
    if (!options->alerts.urls.empty()) {
        return fail("--alertmanager: this marld was built without libcurl and sends no alerts");
    }
#endif
    marld::PointStore store(options->maxPoints);
    if (!store.reserve()) {
        return fail("no memory for --max-points " + std::to_string(options->maxPoints) + " points");
    }
    marld::Journal journal(options->http.has_value(), options->stateFile.has_value(), !options->alerts.urls.empty(),
                          options->maxPoints);
#ifdef MARLD_STATE_FILE
    std::unique_ptr<marld::StateWriter> writer;
    if (options->stateFile) {
        auto state = marld::StateFile::open(*options->stateFile, error);
        if (!state || !state->load(store, journal, error)) {
            return fail(error);
        }
        writer = std::make_unique<marld::StateWriter>(std::move(state));
    }
    return marld::serve(*options, passed, bindTo, stopSignals, names, store, journal, writer.get());
#else
    if (options->stateFile) {
        return fail("--state: this marld was built without SQLite and keeps no state file");
    }
    return marld::serve(*options, passed, bindTo, stopSignals, names, store, journal, nullptr);
#endif
}
