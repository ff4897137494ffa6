/* An application built outside the bqx tree, in C, against an installed bqx
 * found by pkg-config. Produces a few messages to a topic and consumes them
 * back in a consumer group of its own; exits 0 only when every call
 * succeeded and every message it produced came back.
 *
 *   bqx_pc_roundtrip BOOTSTRAP TOPIC
 */
#define _POSIX_C_SOURCE 200809L
#include <bqx.h>

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MESSAGES = 5, CAPACITY = 256, TIMEOUT_SECONDS = 30, MAX_CONSUMES = 100 };

/* Reports a failed call with the session's last error and returns 1. */
static int failure(int32_t handle, const char *call, int32_t rc) {
    char text[512];
    int32_t length = (int32_t)sizeof(text) - 1;
    if (handle < 0 || BQXGERR(handle, text, &length) < 0 || length < 0) length = 0;
    text[length] = '\0';
    fprintf(stderr, "bqx_pc_roundtrip: %s returned %d: %s\n", call, (int)rc, text);
    return 1;
}

static int roundtrip(int32_t handle, const char *bootstrap, const char *topic) {
    char run[64], group[96], messages[MESSAGES][96];
    int seen[MESSAGES] = {0}, missing = MESSAGES, i;
    int32_t rc;

    /* Messages and group are unique to this run: the topic may hold others. */
    snprintf(run, sizeof run, "%ld-%ld", (long)getpid(), (long)time(NULL));
    snprintf(group, sizeof group, "bqx-install-c-%s", run);

    rc = BQXCONN(handle, bootstrap, (int32_t)strlen(bootstrap), topic, (int32_t)strlen(topic));
    if (rc != 0) return failure(handle, "BQXCONN", rc);
    for (i = 0; i < MESSAGES; ++i) {
        snprintf(messages[i], sizeof messages[i], "pkg-config build %s message %d", run, i);
        rc = BQXPROD(handle, "key", 3, messages[i], (uint32_t)strlen(messages[i]), 0);
        if (rc != 0) return failure(handle, "BQXPROD", rc);
    }
    rc = BQXSYNC(handle, 2, 0, 0);
    if (rc != 0) return failure(handle, "BQXSYNC", rc);

    for (i = 0; i < MAX_CONSUMES && missing > 0; ++i) {
        char buffer[CAPACITY + 1];
        uint32_t length = CAPACITY;
        int m;
        rc = BQXCONS(handle, group, (int32_t)strlen(group), buffer, &length, 0, TIMEOUT_SECONDS);
        if (rc != 0) return failure(handle, "BQXCONS", rc);
        for (m = 0; m < MESSAGES; ++m) {
            if (!seen[m] && length == strlen(messages[m]) && memcmp(buffer, messages[m], length) == 0) {
                seen[m] = 1;
                --missing;
            }
        }
    }
    if (missing > 0) {
        fprintf(stderr, "bqx_pc_roundtrip: %d of %d messages did not come back\n", missing, MESSAGES);
        return 1;
    }
    printf("bqx_pc_roundtrip: %d messages produced and consumed back\n", MESSAGES);
    return 0;
}

int main(int argc, char **argv) {
    int32_t handle, rc;
    int status;
    if (argc != 3) {
        fprintf(stderr, "usage: %s BOOTSTRAP TOPIC\n", argv[0]);
        return 2;
    }
    handle = BQXOPEN();
    if (handle < 0) return failure(handle, "BQXOPEN", handle);
    status = roundtrip(handle, argv[1], argv[2]);
    rc = BQXCLSE(handle);
    if (rc != 0 && status == 0) {
        fprintf(stderr, "bqx_pc_roundtrip: BQXCLSE returned %d\n", (int)rc);
        status = 1;
    }
    return status;
}
