/* The public header compiles as C: every entry point, the function codes
 * and the exported data are usable from a C program. */
#include "bqx.h"

int32_t bqx_header_check(void) {
    char text[16];
    int32_t length = sizeof(text);
    int32_t handle = BQXOPEN();
    BQXDBUG(handle, 1);
    BQXGERR(handle, text, &length);
    return BQXFUNC(BQX_FC_CLSE, handle) + (int32_t)paFctPrm.ullCount + giDebugLevel +
           (gpcbList[0] != 0) + (int32_t)gaszKafkaErrors[0].ullRetriable + aszBqxInfMsgs[0][0];
}
