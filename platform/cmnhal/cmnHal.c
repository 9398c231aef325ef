#include "cmnHal.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <syslog.h>

int cmn_hal_getCentralAddress(struct in_addr *address)
{
    if (address == NULL) {
        return -1;
    }
    address->s_addr = htonl(INADDR_LOOPBACK);
    const char *configured = getenv(CMN_HAL_CENTRAL_ADDRESS_ENV);
    if (configured == NULL) {
        return 0;
    }
    struct in_addr parsed;
    if (inet_pton(AF_INET, configured, &parsed) != 1) {
        /* Said once per look-up, so that a typo does not quietly send every
           datagram to this host. */
        syslog(LOG_WARNING, "cmn_hal_getCentralAddress: %s \"%s\" is not a dotted IPv4 address; using 127.0.0.1",
               CMN_HAL_CENTRAL_ADDRESS_ENV, configured);
        return -1;
    }
    *address = parsed;
    return 0;
}
