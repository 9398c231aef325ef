/*
 * The exported headers as a C99 caller sees them: they compile with
 * pedantic errors, the records have their wire sizes and offsets, and the
 * functions link and answer from C.
 */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "card/cardinetPortNumbersPlatform.h"
#include "ipcMsg.h"
#include "marlEncDec.h"
#include "marlclient.h"
#include "marlmsg.h"
#include "msgid.h"

#define CHECK_AT_COMPILE_TIME(name, condition) typedef char check_##name[(condition) ? 1 : -1]

CHECK_AT_COMPILE_TIME(header_size, sizeof(msgHeaderNt_t) == 40 && MSG_HEADER_SIZE == 40);
CHECK_AT_COMPILE_TIME(update_size, sizeof(t_marl_update_point_msg) == 46 && MARL_UPDATE_POINT_MSG_SIZE == 46);
CHECK_AT_COMPILE_TIME(query_size, sizeof(t_marl_query_point_msg) == 44 && MARL_QUERY_POINT_MSG_SIZE == 44);
CHECK_AT_COMPILE_TIME(response_size,
                      sizeof(t_marl_query_point_response_msg) == 49 && MARL_QUERY_POINT_RESPONSE_MSG_SIZE == 49);

CHECK_AT_COMPILE_TIME(header_length_at_4, offsetof(msgHeaderNt, length) == 4);
CHECK_AT_COMPILE_TIME(header_sequence_at_12, offsetof(msgHeaderNt, sequence) == 12);
CHECK_AT_COMPILE_TIME(header_tx_time_at_16, offsetof(msgHeaderNt, txTime) == 16);
CHECK_AT_COMPILE_TIME(header_time_reply_at_32, offsetof(msgHeaderNt, timeReply) == 32);
CHECK_AT_COMPILE_TIME(update_set_point_at_40, offsetof(t_marl_update_point_msg, setPoint) == 40);
CHECK_AT_COMPILE_TIME(update_name_length_at_42, offsetof(t_marl_update_point_msg, pointNameLength) == 42);
CHECK_AT_COMPILE_TIME(query_name_length_at_40, offsetof(t_marl_query_point_msg, pointNameLength) == 40);
CHECK_AT_COMPILE_TIME(response_return_code_at_41, offsetof(t_marl_query_point_response_msg, returnCode) == 41);
CHECK_AT_COMPILE_TIME(response_name_length_at_45,
                      offsetof(t_marl_query_point_response_msg, pointNameLength) == 45);
CHECK_AT_COMPILE_TIME(identifiers, MARL_MSG_UPDATE_POINT == 0x8C00 && MARL_MSG_QUERY_POINT == 0x8C01 &&
                                       MARL_MSG_QUERY_POINT_RESPONSE == 0x8C02 &&
                                       MARL_MSG_UPDATE_POINT_EXT == 0x8C04);
/* The threshold records keep their fields in the order the block carries them. */
CHECK_AT_COMPILE_TIME(threshold_info_order,
                      offsetof(t_threshold_info, attributeId) == 0 &&
                          offsetof(t_threshold_info, thresholdLevel) < offsetof(t_threshold_info, observedValue) &&
                          offsetof(t_threshold_info, observedValue) < offsetof(t_threshold_info, armTime));
CHECK_AT_COMPILE_TIME(threshold_level_order, offsetof(t_threshold_level, indication) == 0 &&
                                                 offsetof(t_threshold_level, low) < offsetof(t_threshold_level, high));

/* A threshold record through a block and back (38 bytes), as a C caller does it. */
static int thresholdRecordRoundTrip(void)
{
    char attributeId[] = "a";
    char indication[] = "b";
    t_threshold_info sent;
    t_threshold_info *received = NULL;
    char *texts[6];
    uint8_t block[MARL_DYNAMIC_INFO_MAX_SIZE];
    int failed;

    sent.attributeId = attributeId;
    sent.thresholdLevel.indication = indication;
    sent.thresholdLevel.low = 1.0f;
    sent.thresholdLevel.high = 2.0f;
    sent.observedValue = 0.5f;
    sent.armTime = -16;
    if (oamMarlEncodeDynamicInfo(block, &sent, NULL, NULL, NULL, NULL, NULL, NULL) != block + 38 ||
        oamMarlDecodeDynamicInfo(block, &received, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4],
                                 &texts[5]) != block + 38 ||
        received == NULL) {
        return 1;
    }
    failed = strcmp(received->attributeId, "a") != 0 || strcmp(received->thresholdLevel.indication, "b") != 0 ||
             received->thresholdLevel.high != 2.0f || received->armTime != -16 || texts[5] != NULL;
    free(received->attributeId);
    free(received->thresholdLevel.indication);
    free(received);
    return failed;
}

int main(void)
{
    msgHeaderNt_t header;
    struct sockaddr_in address;
    int size = 0;

    /* id and type are one field. */
    header.id = MARL_MSG_QUERY_POINT_RESPONSE;
    if (header.type != 0x8C02u) {
        return 1;
    }
    /* Refused calls come back as C false. */
    if (setup_marl_socket(NULL, &address, &size) || update_marl_point(NULL, 1) || update_marl_point("", 0)) {
        return 2;
    }
    if (thresholdRecordRoundTrip() != 0) {
        return 3;
    }
    if (update_marl_point_ext(NULL, 1, NULL, "x", NULL, NULL, NULL, NULL, NULL)) {
        return 4;
    }
    return 0;
}
