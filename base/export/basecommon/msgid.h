/*
 * Message identifiers of the platform's inter-process messages.
 *
 * Each subsystem owns one block of 256 identifiers: bits 8 to 15 name the
 * subsystem and bits 0 to 7 the message within it.
 */
#ifndef BASECOMMON_MSGID_H
#define BASECOMMON_MSGID_H

/* The point (alarm) service's block. */
#define MSG_ID_BASE_MARL 0x8C00u

#define MARL_MSG_UPDATE_POINT          (MSG_ID_BASE_MARL + 0x00u) /* library to service */
#define MARL_MSG_QUERY_POINT           (MSG_ID_BASE_MARL + 0x01u) /* library to service */
#define MARL_MSG_QUERY_POINT_RESPONSE  (MSG_ID_BASE_MARL + 0x02u) /* service to library */
#define MARL_MSG_UPDATE_POINT_EXT      (MSG_ID_BASE_MARL + 0x04u) /* library to service */

#endif /* BASECOMMON_MSGID_H */
