/*
 * The exported headers as a C99 caller sees them: they compile with pedantic
 * errors, the records have their wire sizes and offsets, and the functions
 * link and answer from C.
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

CHECK_AT_COMPILE_TIME(sizes, sizeof(msgHeaderNt_t) == MSG_HEADER_SIZE && MSG_HEADER_SIZE == 40 &&
                                 sizeof(t_marl_update_point_msg) == 46 && MARL_UPDATE_POINT_MSG_SIZE == 46 &&
                                 sizeof(t_marl_query_point_msg) == 44 && MARL_QUERY_POINT_MSG_SIZE == 44 &&
                                 sizeof(t_marl_query_point_response_msg) == 49 && MARL_QUERY_POINT_RESPONSE_MSG_SIZE == 49);
CHECK_AT_COMPILE_TIME(header, offsetof(msgHeaderNt, length) == 4 && offsetof(msgHeaderNt, sequence) == 12 &&
                                  offsetof(msgHeaderNt, txTime) == 16 && offsetof(msgHeaderNt, timeReply) == 32);
CHECK_AT_COMPILE_TIME(records, offsetof(t_marl_update_point_msg, setPoint) == 40 &&
                                   offsetof(t_marl_update_point_msg, pointNameLength) == 42 &&
                                   offsetof(t_marl_query_point_msg, pointNameLength) == 40 &&
                                   offsetof(t_marl_query_point_response_msg, returnCode) == 41 &&
                                   offsetof(t_marl_query_point_response_msg, pointNameLength) == 45);
CHECK_AT_COMPILE_TIME(identifiers, MARL_MSG_UPDATE_POINT == 0x8C00 && MARL_MSG_QUERY_POINT == 0x8C01 &&
                                       MARL_MSG_QUERY_POINT_RESPONSE == 0x8C02 && MARL_MSG_UPDATE_POINT_EXT == 0x8C04);

int main(void)
{
    msgHeaderNt_t header;
    struct sockaddr_in address;
    int size = 0;
    char attributeId[] = "a";
    t_threshold_info sent;
    t_threshold_info *received = NULL;
    char *texts[6];
    uint8_t block[MARL_DYNAMIC_INFO_MAX_SIZE];
    int failed;

    header.id = MARL_MSG_QUERY_POINT_RESPONSE; /* id and type are one field */
    if (header.type != 0x8C02u || setup_marl_socket(NULL, &address, &size) || update_marl_point(NULL, 1) ||
        update_marl_point_ext(NULL, 1, NULL, "x", NULL, NULL, NULL, NULL, NULL)) {
        return 1;
    }
    /* A threshold record through a block and back, as a C caller does it. */
    memset(&sent, 0, sizeof sent);
    sent.attributeId = attributeId;
    sent.thresholdLevel.high = 2.0f;
    sent.armTime = -16;
    if (oamMarlEncodeDynamicInfo(block, &sent, NULL, NULL, NULL, NULL, NULL, NULL) != block + 36 ||
        oamMarlDecodeDynamicInfo(block, &received, &texts[0], &texts[1], &texts[2], &texts[3], &texts[4], &texts[5]) != block + 36 ||
        received == NULL) {
        return 2;
    }
    failed = strcmp(received->attributeId, "a") != 0 || received->thresholdLevel.indication != NULL ||
             received->thresholdLevel.high != 2.0f || received->armTime != -16 || texts[5] != NULL;
    free(received->attributeId);
    free(received);
    return failed;
}
