// marl-bare-receiver PORT RCVBUF BATCH: the least a receiver of updates can
// do, for marl-bench to weigh marld against. It binds 127.0.0.1:PORT with
// marld's receive buffer, then takes datagrams in blocking recvmmsg calls of
// up to BATCH, each into a 64 KiB buffer as marld does, and only counts them.
// It prints "listening" once bound and, on SIGTERM, "received N".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int)
{
    stopRequested = 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: marl-bare-receiver PORT RCVBUF BATCH\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const int receiveBuffer = std::atoi(argv[2]);
    const auto batch = static_cast<unsigned>(std::atoi(argv[3]));
    // No SA_RESTART: the signal ends the wait in recvmmsg. One that comes
    // just before the wait starts is seen at the receive timeout.
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigaction(SIGTERM, &action, nullptr);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const timeval timeout{0, 200000};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("marl-bare-receiver");
        return 2;
    }
    constexpr std::size_t kBufferSize = 65536;
    const auto buffers = std::make_unique_for_overwrite<std::uint8_t[]>(batch * kBufferSize);
    std::vector<mmsghdr> messages(batch);
    std::vector<iovec> data(batch);
    std::vector<sockaddr_in> senders(batch);
    for (std::size_t i = 0; i < batch; ++i) {
        data[i] = iovec{buffers.get() + i * kBufferSize, kBufferSize};
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
    }
    std::printf("listening\n");
    std::fflush(stdout);
    unsigned long long received = 0;
    while (stopRequested == 0) {
        for (std::size_t i = 0; i < batch; ++i) {
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        }
        const int count = recvmmsg(fd, messages.data(), batch, MSG_WAITFORONE, nullptr);
        received += count > 0 ? static_cast<unsigned>(count) : 0;
    }
    std::printf("received %llu\n", received);
    return 0;
}
