/*
 * Codec of the runtime information that an extended point update carries
 * after the point name: counted strings and the dynamic information block.
 *
 * A counted string is a 16-bit big-endian length n, then n bytes of text and
 * one NUL byte (n + 3 bytes in all); a null or empty text, or one cut to
 * nothing by a maximum of 0, is the length 0 alone (2 bytes), which the
 * readers take back as null. The block is, in this order: a 16-bit threshold length
 * (MARL_THRESHOLD_INFO_LENGTH with threshold information, else 0); with
 * threshold information, the attribute identifier and the level indication as
 * counted strings, then low, high and the observed value as big-endian
 * IEEE-754 single floats and the arm time as a signed 32-bit count of
 * seconds; then the six texts as counted strings, each cut to its maximum.
 *
 * Every function returns the position just past what it wrote or read, so
 * that calls chain, or null on failure; failures are logged. The writers do
 * not know the buffer's size: the caller makes room for the largest block
 * (MARL_DYNAMIC_INFO_MAX_SIZE) or sizes the buffer from the texts. The readers
 * do not know the input's size either and trust every length they read; they
 * are meant for blocks that one of the writers produced. Every text and
 * record a reader returns is allocated with malloc and belongs to the caller,
 * who releases it with free (for a threshold record: its attributeId, its
 * thresholdLevel.indication, then the record). Each text a reader returns
 * ends in a NUL.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef MARLENGINE_MARLENCDEC_H
#define MARLENGINE_MARLENCDEC_H

#include <stdint.h>

#include "marlExport.h"
#include "marlmsg.h"

/* The threshold length that a writer puts before threshold information. */
#define MARL_THRESHOLD_INFO_LENGTH 22u

/* How many characters of each text travel; longer texts are cut. */
#define MARL_MAX_ATTRIBUTE_ID_LENGTH 80u
#define MARL_MAX_INDICATION_LENGTH 4u
#define MARL_MAX_MONITORED_ATTRIBUTES_LENGTH 128u
#define MARL_MAX_DESCRIPTIVE_TEXT_LENGTH 32u /* the other five texts */

/* Smallest block (no threshold information, no text) and largest. */
#define MARL_DYNAMIC_INFO_MIN_SIZE 14u
#define MARL_DYNAMIC_INFO_MAX_SIZE 414u

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes marlString (null or a NUL-terminated text) at buffer as a counted
 * string of at most maxLength characters. Null if buffer is null.
 */
MARLCLIENT_API uint8_t *oamMarlEncodeString(uint8_t *buffer, const char *marlString, uint16_t maxLength);

/*
 * Reads the counted string at input into *marlString: a new copy of the text,
 * or null for a length of 0. Null on a null argument (nothing written) or
 * when the copy cannot be allocated (*marlString is then null).
 */
MARLCLIENT_API uint8_t *oamMarlDecodeString(const uint8_t *input, char **marlString);

/*
 * Writes a dynamic information block at buffer; every argument but buffer
 * may be null. Null if buffer is null.
 */
MARLCLIENT_API uint8_t *oamMarlEncodeDynamicInfo(uint8_t *buffer, const t_threshold_info *thresholdInfo,
                                                 const char *monitoredAttributes, const char *serviceUser,
                                                 const char *serviceProvider, const char *securityAlarmDetector,
                                                 const char *additionalText1, const char *additionalText2);

/*
 * Reads the dynamic information block at input into the eight
 * out-parameters: *thresholdInfo receives a new record, or null when the
 * block has no threshold information (a threshold length of 0; any other
 * length means a record). Null if an argument is null (nothing written) or an
 * allocation fails: what was read before the failure is already stored and
 * belongs to the caller, the failed item is null, and the out-parameters of
 * the later items are left as they were (each later text logs the string
 * reader's invalid-input line). When the threshold record itself cannot be
 * allocated, *thresholdInfo is null and nothing further is read.
 */
MARLCLIENT_API uint8_t *oamMarlDecodeDynamicInfo(uint8_t *input, t_threshold_info **thresholdInfo,
                                                 char **monitoredAttributes, char **serviceUser,
                                                 char **serviceProvider, char **securityAlarmDetector,
                                                 char **additionalText1, char **additionalText2);

#ifdef __cplusplus
}
#endif

#endif /* MARLENGINE_MARLENCDEC_H */
