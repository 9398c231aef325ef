/*
 * The exported headers as a C99 caller sees them: they compile with pedantic
 * errors, the records have their wire sizes, and every exported function
 * links and refuses null arguments from C.
 */
#include "marlEncDec.h"
#include "marlclient.h"

typedef char wireSizes[sizeof(msgHeaderNt_t) == 40 && sizeof(t_marl_update_point_msg) == 46 &&
                       sizeof(t_marl_query_point_msg) == 44 && sizeof(t_marl_query_point_response_msg) == 49
                       ? 1 : -1];

int main(void)
{
    struct sockaddr_in address;
    int size = 0;
    uint8_t value = 7;
    char *text = NULL;
    return setup_marl_socket(NULL, &address, &size) || update_marl_point(NULL, 1) ||
           read_marl_point(NULL, &value) || oamMarlEncodeString(NULL, "x", 1) ||
           oamMarlDecodeString(NULL, &text) ||
           update_marl_point_ext(NULL, 1, NULL, "x", NULL, NULL, NULL, NULL, NULL) ||
           oamMarlEncodeDynamicInfo(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL) ||
           oamMarlDecodeDynamicInfo(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL) || value != 7 || text;
}
