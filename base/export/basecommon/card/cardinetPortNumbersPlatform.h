/*
 * Port look-up for the platform's inter-card services.
 *
 * Services are found by name in the host's services database, so that a
 * system integrator moves a service to another port by editing that file
 * rather than rebuilding the programs that talk to it.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef BASECOMMON_CARD_CARDINETPORTNUMBERSPLATFORM_H
#define BASECOMMON_CARD_CARDINETPORTNUMBERSPLATFORM_H

#include <netdb.h>
#include <stddef.h>
#include <syslog.h>

/* Name of the point service's entry in the services database. */
#define MARL_SERVICE_NAME "marl"

/*
 * Returns the port of the named service, in network byte order, as the first
 * entry of that name (of any protocol) gives it; 0 when there is none, after
 * logging the fact. Not thread-safe on its own (getservbyname keeps static
 * state): callers look a service up once, under their own guard.
 */
static inline int getportbyname(const char *service)
{
    const struct servent *entry = getservbyname(service, NULL);
    if (entry == NULL) {
        syslog(LOG_CRIT, "[%s:%d] getportbyname for %s returned NULL\n", __FILE__, __LINE__, service);
        return 0;
    }
    return entry->s_port;
}

#endif /* BASECOMMON_CARD_CARDINETPORTNUMBERSPLATFORM_H */
