/*
 * libmarlclient: raise, clear and query named alarm points at the point
 * service of the central node.
 *
 * Every call runs on its caller's thread and reports failure by its result
 * alone; the reason goes to the system log. The library keeps one UDP socket
 * per process, created by the first call that needs it and never closed.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef MARLENGINE_MARLCLIENT_H
#define MARLENGINE_MARLCLIENT_H

#include <netinet/in.h>
#include <stdbool.h>
#include <stdint.h>

#include "marlExport.h"
#include "marlmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Hands out the process's point-service socket, creating it on the first
 * call: *sockfd receives the descriptor, *serverAddr the service's IPv4
 * address and port, *sizeAddr the address's size (16). False, with nothing
 * written, when an argument is null or the socket cannot be created; a later
 * call tries again.
 */
MARLCLIENT_API bool setup_marl_socket(int *sockfd, struct sockaddr_in *serverAddr, int *sizeAddr);

/*
 * Raises (value nonzero) or clears (value 0) the point named pntId, a
 * non-empty NUL-terminated text of at most 600 bytes. True once the update
 * datagram has been handed to the socket; no answer is awaited.
 */
MARLCLIENT_API bool update_marl_point(const char *pntId, uint8_t value);

/*
 * Asks the service whether the point named pntId is set. Sends one query and
 * waits at most 10 seconds for the reply; on success stores the point's state
 * (1 set, 0 clear) in *value and returns true. *value is written on no other
 * path. Blocks the calling thread. Queries of several threads run side by
 * side, each answered by the reply that names its point; with a service that
 * does not echo the name they take turns, so each still gets its own reply.
 */
MARLCLIENT_API bool read_marl_point(const char *pntId, uint8_t *value);

/*
 * As update_marl_point, with runtime information attached: the threshold
 * record and six texts, any of which may be null, travel after the name in a
 * dynamic information block (marlEncDec.h). wildChar1 and wildChar2 travel as
 * the block's two additional texts. Texts longer than their block maximum are
 * cut, but the datagram is sized on their full lengths and must fit 646 bytes.
 * With all seven null, a plain update_marl_point is sent instead.
 */
MARLCLIENT_API bool update_marl_point_ext(const char *pntId, uint8_t value, const t_threshold_info *thresholdInfo,
                                          const char *monitoredAttributes, const char *serviceUser,
                                          const char *serviceProvider, const char *securityAlarmDetector,
                                          const char *wildChar1, const char *wildChar2);

#ifdef __cplusplus
}
#endif

#endif /* MARLENGINE_MARLCLIENT_H */
