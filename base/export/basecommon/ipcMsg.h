/*
 * Common header of every inter-process message of the platform.
 *
 * The structure mirrors the 40-byte wire header field for field, in the order
 * it travels. On the platform's 32-bit big-endian hosts it lies in memory as it
 * lies on the wire; elsewhere it is an in-memory view only, and code that puts
 * it on the wire writes each field big-endian, one at a time.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef BASECOMMON_IPCMSG_H
#define BASECOMMON_IPCMSG_H

#include <stdint.h>

#include "msgid.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t msgIdNt;       /* message identifier, see msgid.h */
typedef int32_t msgLengthNt;    /* whole datagram length in bytes */
typedef uint32_t msgControlNt;
typedef uint16_t msgSequenceNt;

/*
 * A time stamp as the header carries it: two signed 32-bit fields on every
 * host. The host's struct timeval is not used, because its size differs
 * between 32- and 64-bit hosts.
 */
typedef struct msgTimevalNt {
    int32_t tv_sec;
    int32_t tv_usec;
} msgTimevalNt;

typedef struct msgHeaderNt {
    /* Older code calls the identifier "type"; both names are the same bits. */
    __extension__ union {
        msgIdNt id;
        msgIdNt type;
    };
    msgLengthNt length;
    msgControlNt control;
    msgSequenceNt sequence;
    msgSequenceNt sequenceReply;
    msgTimevalNt txTime;
    msgTimevalNt rxTime;
    msgTimevalNt timeReply;
} msgHeaderNt;

typedef msgHeaderNt msgHeaderNt_t;

/* Size of the header on the wire, and in memory on every supported host. */
#define MSG_HEADER_SIZE 40u

#ifdef __cplusplus
}
#endif

#endif /* BASECOMMON_IPCMSG_H */
