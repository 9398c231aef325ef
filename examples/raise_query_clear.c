/*
 * raise_query_clear: an application of libmarlclient. It raises a point,
 * asks the point service about it, clears it and asks again, printing what
 * it saw.
 *
 *   raise_query_clear [NAME]      (default: example/fan-tray-2/overheat)
 *
 * Exit status: 0 when every call succeeded and the service reported the point
 * set after the raise and clear after the clear; 1 otherwise. The library
 * writes the reason for a failure to the system log, and here to stderr too.
 */
#include <stdio.h>
#include <syslog.h>

#include "marlclient.h"

/* The point's state as the service reports it: 1 set, 0 clear, -1 no answer. */
static int query(const char *name)
{
    uint8_t isSet = 0;
    if (!read_marl_point(name, &isSet)) {
        printf("query %s: no answer\n", name);
        return -1;
    }
    printf("query %s: %s\n", name, isSet ? "set" : "clear");
    return isSet;
}

/* Raises (value 1) or clears (value 0) the point; 1 when the update was sent. */
static int update(const char *name, uint8_t value)
{
    const int sent = update_marl_point(name, value);
    printf("%s %s%s\n", value ? "raise" : "clear", name, sent ? "" : ": failed");
    return sent;
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "example/fan-tray-2/overheat";
    openlog("raise_query_clear", LOG_PERROR, LOG_USER);
    const int ok = update(name, 1) && query(name) == 1 && update(name, 0) && query(name) == 0;
    closelog();
    return ok ? 0 : 1;
}
