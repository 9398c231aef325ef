/*
 * Raises and clears one point through libmarlclient while listening on the
 * point service's own port, and prints each datagram as it arrived.
 *
 * Usage: marl-demo [POINT]   (default point: ab)
 * Needs a "marl" entry in the services database; run-demo.sh provides one in
 * a private mount namespace.
 */
#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "marlclient.h"

static void print_datagram(const unsigned char *bytes, ssize_t count)
{
    for (ssize_t i = 0; i < count; ++i) {
        printf("%02x%s", bytes[i], (i % 16 == 15 || i + 1 == count) ? "\n" : " ");
    }
}

static int send_and_show(int listener, const char *point, uint8_t value)
{
    if (!update_marl_point(point, value)) {
        fprintf(stderr, "marl-demo: update_marl_point(\"%s\", %u) failed; see the system log\n", point, value);
        return -1;
    }
    unsigned char datagram[2048];
    const ssize_t count = recv(listener, datagram, sizeof datagram, 0);
    if (count < 0) {
        perror("marl-demo: no datagram arrived");
        return -1;
    }
    printf("%s %s: %zd bytes\n", value ? "raise" : "clear", point, count);
    print_datagram(datagram, count);
    return 0;
}

int main(int argc, char **argv)
{
    const char *point = argc > 1 ? argv[1] : "ab";
    const struct servent *service = getservbyname("marl", NULL);
    if (service == NULL) {
        fprintf(stderr, "marl-demo: the services database has no \"marl\" entry\n");
        return 1;
    }
    const int listener = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = (in_port_t)service->s_port;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const struct timeval timeout = {2, 0};
    if (listener < 0 || bind(listener, (const struct sockaddr *)&address, sizeof address) != 0 ||
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        perror("marl-demo: cannot listen on the service's port");
        return 1;
    }
    printf("listening on 127.0.0.1:%u as the point service\n", ntohs(address.sin_port));
    const int failed = send_and_show(listener, point, 1) != 0 || send_and_show(listener, point, 0) != 0;
    close(listener);
    return failed ? 1 : 0;
}
