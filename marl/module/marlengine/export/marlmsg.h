/*
 * Messages between the point client library and the point service.
 *
 * Every record is packed and mirrors its datagram byte for byte on the
 * platform's 32-bit big-endian hosts. Integers travel big-endian; code that
 * builds or reads datagrams on any other host goes field by field, never by
 * copying a record.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef MARLENGINE_MARLMSG_H
#define MARLENGINE_MARLMSG_H

#include <stdint.h>
#include <time.h>

#include "ipcMsg.h"
#include "msgid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of a query, carried in the response. */
typedef enum t_marl_msg_return_code {
    MARL_MSG_RC_OK = 0,               /* pointIsSet holds the point's state */
    MARL_MSG_RC_INVALID_POINT_ID = 1  /* the service rejects the point name */
} t_marl_msg_return_code;

/*
 * MARL_MSG_UPDATE_POINT and MARL_MSG_UPDATE_POINT_EXT: followed on the wire by
 * pointNameLength bytes of name (no terminator) and, for the extended form,
 * by the dynamic information block.
 */
typedef struct __attribute__((packed)) t_marl_update_point_msg {
    msgHeaderNt header;
    uint8_t setPoint;         /* 1 raises the point, 0 clears it */
    uint8_t sendResponse;     /* asks the service to answer; the library sends 0 */
    uint32_t pointNameLength; /* byte count of the name that follows */
} t_marl_update_point_msg;

/* MARL_MSG_QUERY_POINT: followed by pointNameLength bytes of name. */
typedef struct __attribute__((packed)) t_marl_query_point_msg {
    msgHeaderNt header;
    uint32_t pointNameLength;
} t_marl_query_point_msg;

/* MARL_MSG_QUERY_POINT_RESPONSE. */
typedef struct __attribute__((packed)) t_marl_query_point_response_msg {
    msgHeaderNt header;
    uint8_t pointIsSet;
    t_marl_msg_return_code returnCode; /* 32 bits on the wire */
    uint32_t pointNameLength;
} t_marl_query_point_response_msg;

/*
 * Runtime information of an extended update. These two records live in memory
 * only: on the wire they travel item by item inside the dynamic information
 * block (marlEncDec.h), so their layout may differ between hosts. Texts are
 * NUL-terminated and may be null; the block readers allocate them, and the
 * record itself, with malloc, and the caller releases all three with free.
 */
typedef struct t_threshold_level {
    char *indication; /* at most 4 characters travel */
    float low;
    float high;
} t_threshold_level;

typedef struct t_threshold_info {
    char *attributeId; /* the watched attribute; at most 80 characters travel */
    t_threshold_level thresholdLevel;
    float observedValue;
    time_t armTime; /* seconds; travels as a signed 32-bit count */
} t_threshold_info;

/* Wire sizes of the records, which are also their in-memory sizes. */
#define MARL_UPDATE_POINT_MSG_SIZE 46u
#define MARL_QUERY_POINT_MSG_SIZE 44u
#define MARL_QUERY_POINT_RESPONSE_MSG_SIZE 49u

/* An update datagram, header and all, may not exceed this many bytes. */
#define MARL_MAX_UPDATE_MSG_LENGTH 646u

/* Receive buffer of a query's reply: at most this much of a reply is seen. */
#define MARL_MAX_RESPONSE_LENGTH 568u

#ifdef __cplusplus
}
#endif

#endif /* MARLENGINE_MARLMSG_H */
