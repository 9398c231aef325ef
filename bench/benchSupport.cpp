#include "benchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "marlclient.h"

namespace marlbench {

benchmark::IterationCount scaledRounds(benchmark::IterationCount rounds)
{
    double scale = 1;
    if (const char* text = std::getenv("MARL_BENCH_SCALE")) {
        char* end = nullptr;
        const double parsed = std::strtod(text, &end);
        if (end != text && *end == '\0' && parsed > 0) {
            scale = parsed;
        }
    }
    return std::max<benchmark::IterationCount>(3, std::llround(static_cast<double>(rounds) * scale));
}

// ---- The table

namespace {

std::mutex rowsMutex;
std::vector<Row> rows;

std::string formatValue(double value)
{
    char text[32];
    if (value >= 1e6) {
        std::snprintf(text, sizeof text, "%.3g", value);
    } else if (value >= 100) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.1f", value);
    }
    return text;
}

} // namespace

void addRow(Row row)
{
    std::lock_guard lock(rowsMutex);
    rows.push_back(std::move(row));
}

void printTable(std::FILE* out)
{
    std::lock_guard lock(rowsMutex);
    std::size_t whatWidth = 4;
    std::size_t baselineWidth = 8;
    for (const Row& row : rows) {
        whatWidth = std::max(whatWidth, row.what.size());
        baselineWidth = std::max(baselineWidth, row.baseline.size());
    }
    const int w = static_cast<int>(whatWidth);
    const int bw = static_cast<int>(baselineWidth);
    std::fprintf(out, "%-*s  %-*s  %10s  %10s  %-10s  %6s  %-13s  %s\n", w, "what", bw, "baseline", "value",
                 "baseline", "unit", "ratio", "ratio q1-q3", "target");
    for (const Row& row : rows) {
        char spread[32];
        std::snprintf(spread, sizeof spread, "%.3f-%.3f", row.ratioLow, row.ratioHigh);
        std::string target = "-";
        if (row.target) {
            char text[48];
            std::snprintf(text, sizeof text, "<= %.2f %s", *row.target, row.ratio <= *row.target ? "met" : "MISSED");
            target = text;
        }
        std::fprintf(out, "%-*s  %-*s  %10s  %10s  %-10s  %6.3f  %-13s  %s%s%s\n", w, row.what.c_str(), bw,
                     row.baseline.c_str(), formatValue(row.value).c_str(), formatValue(row.baselineValue).c_str(),
                     row.unit.c_str(), row.ratio, spread, target.c_str(), row.note.empty() ? "" : "  ",
                     row.note.c_str());
    }
    std::fflush(out);
}

// ---- Interleaved rounds

double nowNs(Timing timing)
{
    if (timing == Timing::wall) {
        return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
    }
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

namespace {

double measureClockCost(Timing timing)
{
    std::vector<double> costs;
    for (int i = 0; i < 1001; ++i) {
        const double first = nowNs(timing);
        const double second = nowNs(timing);
        costs.push_back(second - first);
    }
    return quantile(costs, 0.5);
}

} // namespace

double clockCostNs(Timing timing)
{
    static const double wallCost = measureClockCost(Timing::wall);
    static const double cpuCost = measureClockCost(Timing::threadCpu);
    return timing == Timing::wall ? wallCost : cpuCost;
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    const double fraction = position - static_cast<double>(below);
    return values[below] + (values[above] - values[below]) * fraction;
}

void addPairedRow(const std::string& what, const std::string& baseline, const Paired& result,
                  std::optional<double> target, std::string note)
{
    addRow(Row{what, baseline, "ns/call", result.candidateNs, result.baselineNs, result.ratio, result.ratioLow,
               result.ratioHigh, target, std::move(note)});
}

// ---- The far ends

std::optional<LibrarySocket> librarySocket()
{
    LibrarySocket socket{};
    int size = 0;
    if (!setup_marl_socket(&socket.fd, &socket.service, &size) || socket.service.sin_port == 0) {
        return std::nullopt;
    }
    return socket;
}

Sink::Sink(const sockaddr_in& at)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // Four rounds' worth of the largest datagrams fit many times over; the
    // kernel caps the size at net.core.rmem_max.
    const int size = 4 << 20;
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        error_ = std::string("cannot bind a sink to the service's port: ") + std::strerror(errno);
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }
}

Sink::~Sink()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::size_t Sink::drain()
{
    constexpr unsigned kBatch = 64;
    static thread_local std::vector<std::uint8_t> buffers(kBatch * 2048);
    mmsghdr messages[kBatch] = {};
    iovec data[kBatch];
    for (unsigned i = 0; i < kBatch; ++i) {
        data[i] = iovec{buffers.data() + i * 2048, 2048};
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::size_t taken = 0;
    for (;;) {
        const int count = recvmmsg(fd_, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            return taken;
        }
        taken += static_cast<std::size_t>(count);
    }
}

std::optional<std::vector<std::uint8_t>> Sink::next()
{
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 1000) != 1) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> datagram(65536);
    const ssize_t count = recv(fd_, datagram.data(), datagram.size(), 0);
    if (count < 0) {
        return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(count));
    return datagram;
}

std::optional<MarldCounters> parseCounters(const std::string& text)
{
    MarldCounters counters;
    int found = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const struct {
            const char* prefix;
            std::uint64_t* value;
        } fields[] = {{"marld: received ", &counters.received},
                      {"marld: updates ", &counters.updates},
                      {"marld: queries ", &counters.queries},
                      {"marld: dropped ", &counters.dropped},
                      {"marld: receive-errors ", &counters.receiveErrors}};
        for (const auto& field : fields) {
            const std::size_t length = std::strlen(field.prefix);
            // "marld: dropped " also starts every per-reason line, whose
            // rest is not a bare number: only a bare number is taken.
            if (line.compare(0, length, field.prefix) == 0 &&
                line.find_first_not_of("0123456789", length) == std::string::npos && line.size() > length) {
                *field.value = std::strtoull(line.c_str() + length, nullptr, 10);
                ++found;
            }
        }
    }
    return found == 5 ? std::optional(counters) : std::nullopt;
}

MarldChild::MarldChild(const std::vector<std::string>& arguments)
{
    char path[] = "/tmp/marl-bench-marld-XXXXXX";
    const int out = mkstemp(path);
    if (out < 0) {
        return;
    }
    outputPath_ = path;
    std::vector<std::string> command{MARLD_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    if (pid_ < 0) {
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const std::string text = output();
        if (text.find('\n') != std::string::npos) {
            listening_ = text.rfind("marld: listening on ", 0) == 0;
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

MarldChild::~MarldChild()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!outputPath_.empty()) {
        unlink(outputPath_.c_str());
    }
}

std::string MarldChild::output() const
{
    std::ifstream file(outputPath_);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string MarldChild::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }
    return output();
}

UdpStats readUdpStats()
{
    // Two "Udp:" lines: the field names, then the values.
    std::ifstream snmp("/proc/net/snmp");
    std::string line;
    std::vector<std::string> names;
    UdpStats stats;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp: ", 0) != 0) {
            continue;
        }
        std::istringstream words(line.substr(5));
        std::vector<std::string> fields{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
        if (names.empty()) {
            names = fields;
            continue;
        }
        for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i) {
            const std::uint64_t value = std::strtoull(fields[i].c_str(), nullptr, 10);
            if (names[i] == "InDatagrams") {
                stats.inDatagrams = value;
            } else if (names[i] == "RcvbufErrors") {
                stats.rcvbufErrors = value;
            } else if (names[i] == "InErrors") {
                stats.inErrors = value;
            }
        }
        break;
    }
    return stats;
}

namespace {

// The receive queue of 127.0.0.1:port in bytes, or nothing if no socket is
// bound there. Lines read "sl local_address rem_address st tx_queue:rx_queue
// ...", addresses and queues in hex, the address in the kernel's byte order.
std::optional<unsigned long> receiveQueueBytes(std::uint16_t port)
{
    char local[32];
    std::snprintf(local, sizeof local, "%08X:%04X", htonl(INADDR_LOOPBACK), port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream words(line);
        std::string slot, address, remote, state, queues;
        if (words >> slot >> address >> remote >> state >> queues && address == local) {
            const std::size_t colon = queues.find(':');
            if (colon != std::string::npos) {
                return std::strtoul(queues.c_str() + colon + 1, nullptr, 16);
            }
        }
    }
    return std::nullopt;
}

} // namespace

bool waitUntilQueueEmpty(std::uint16_t port, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto queued = receiveQueueBytes(port);
        if (!queued) {
            return false;
        }
        if (*queued == 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

namespace {

void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

} // namespace

std::vector<std::uint8_t> updateDatagram(const std::string& name, bool set)
{
    std::vector<std::uint8_t> bytes;
    appendU32(bytes, 0x8C00);
    appendU32(bytes, static_cast<std::uint32_t>(46 + name.size()));
    bytes.resize(40, 0);
    bytes.push_back(set ? 1 : 0);
    bytes.push_back(0);
    appendU32(bytes, static_cast<std::uint32_t>(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    return bytes;
}

std::vector<std::uint8_t> queryDatagram(const std::string& name)
{
    std::vector<std::uint8_t> bytes;
    appendU32(bytes, 0x8C01);
    appendU32(bytes, static_cast<std::uint32_t>(44 + name.size()));
    bytes.resize(40, 0);
    appendU32(bytes, static_cast<std::uint32_t>(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    return bytes;
}

} // namespace marlbench
