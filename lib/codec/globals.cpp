// The client's identity as sent to brokers: the client id of every request
// header and the software version of the ApiVersions request.
#include "bqx.h"

const char gpszClientID[8] = "BqX";
const char gpszClientVer[4] = "1.2";
