#include "cmnHal.h"

#include <arpa/inet.h>
#include <stdlib.h>

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
        return -1;
    }
    *address = parsed;
    return 0;
}
