// A short tour of the library: opens a session, connects it to a broker and
// a topic, produces a few messages without a key (pipelined, going round
// the partitions) and then with a key (each waiting for the broker's reply),
// consumes the topic as a member of a consumer group of its own until no
// further message comes, and closes the session. The library's log lines
// show each step.
//
//   bqx_demo bootstrap-server topic [count]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "bqx.h"

static int32_t produce(int32_t handle, const char *key, const char *text) {
    int32_t rc = BQXFUNC(BQX_FC_PROD, handle, key, static_cast<uint32_t>(strlen(key)), text,
                         static_cast<uint32_t>(strlen(text)), 0u);
    printf("bqx_demo: produced key=\"%s\" value=\"%s\": rc=%d\n", key, text, rc);
    return rc;
}

static void show_last_error(int32_t handle) {
    char text[256] = {0};
    int32_t length = sizeof(text) - 1;
    int32_t number = BQXFUNC(BQX_FC_GERR, handle, text, &length);
    printf("bqx_demo: last error %d: %.*s\n", number, length, text);
}

// Consumes until no message arrives for 3 seconds (7543), printing each.
static int32_t consume_all(int32_t handle) {
    char group[48];
    snprintf(group, sizeof(group), "bqx-demo-%ld", static_cast<long>(time(nullptr)));
    BQXFUNC(BQX_FC_DBUG, handle, 1);
    for (int n = 1;; n++) {
        char buffer[1025];
        uint32_t length = 1024;
        int32_t rc = BQXFUNC(BQX_FC_CONS, handle, group, static_cast<int32_t>(strlen(group)), buffer,
                             &length, 0, 3);
        if (rc == 7543) return 0; // drained
        if (rc != 0) return rc;
        printf("bqx_demo: consumed %d in group %s: \"%.*s\"\n", n, group, static_cast<int>(length), buffer);
    }
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s bootstrap-server topic [count]\n", argv[0]);
        return 2;
    }
    const char *bootstrap = argv[1], *topic = argv[2];
    int count = argc > 3 ? atoi(argv[3]) : 6;

    int32_t handle = BQXFUNC(BQX_FC_OPEN);
    if (handle < 0) return 1;
    BQXFUNC(BQX_FC_DBUG, handle, 2);
    int32_t rc = BQXFUNC(BQX_FC_CONN, handle, bootstrap, static_cast<int32_t>(strlen(bootstrap)),
                         topic, static_cast<int32_t>(strlen(topic)));
    for (int i = 0; rc == 0 && i < count; i++) {
        char key[32], text[64];
        snprintf(key, sizeof(key), "%s", i < count / 2 ? "" : "key1"); // round robin, then by key
        snprintf(text, sizeof(text), "bqx demo message %d", i + 1);
        if (i == count / 2) BQXFUNC(BQX_FC_SYNC, handle, 1, 0u, 0u); // now wait for each reply
        rc = produce(handle, key, text);
    }
    if (rc == 0) rc = consume_all(handle);
    if (rc != 0) show_last_error(handle);
    BQXFUNC(BQX_FC_CLSE, handle);
    return rc == 0 ? 0 : 1;
}
