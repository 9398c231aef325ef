/*
 * Stand-in for the platform's hardware-abstraction library, libcmnHal.so.1,
 * for building and running the point client away from the real cards.
 */
#ifndef CMNHAL_CMNHAL_H
#define CMNHAL_CMNHAL_H

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Environment variable that names the central node's IPv4 address. */
#define CMN_HAL_CENTRAL_ADDRESS_ENV "CMN_HAL_CENTRAL_ADDRESS"

/*
 * Writes the central node's IPv4 address, in network byte order, to *address.
 * The address is taken from $CMN_HAL_CENTRAL_ADDRESS (a dotted quad); when it
 * is unset, 127.0.0.1, so that a whole system runs on one machine.
 * Returns 0 on success; -1 when address is null, or when the variable cannot
 * be parsed, in which case 127.0.0.1 is written all the same.
 */
__attribute__((visibility("default"))) int cmn_hal_getCentralAddress(struct in_addr *address);

#ifdef __cplusplus
}
#endif

#endif /* CMNHAL_CMNHAL_H */
