/*
 * A C producer: sends COUNT keyed messages to TOPIC in batched mode (synch
 * mode 4), with the Java client's partitioner so that a key lands on the
 * partition other clients would choose, and waits until every message is
 * acknowledged.
 *
 *   producer BOOTSTRAP TOPIC [COUNT]     e.g. producer 127.0.0.1:9092 orders 100
 */
#include <bqx.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int conf(int32_t h, const char *name, const char *value) {
    return BQXCONF(h, name, (int32_t)strlen(name), value, (int32_t)strlen(value));
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s BOOTSTRAP TOPIC [COUNT]\n", argv[0]);
        return 2;
    }
    const char *bootstrap = argv[1], *topic = argv[2];
    int count = argc > 3 ? atoi(argv[3]) : 10;

    int32_t h = BQXOPEN();
    if (h < 0)
        return 1;
    int32_t rc = conf(h, "client.id", "example-producer");
    if (rc == 0)
        rc = conf(h, "partitioner", "murmur2");
    if (rc == 0)
        rc = BQXCONN(h, bootstrap, (int32_t)strlen(bootstrap), topic, (int32_t)strlen(topic));
    if (rc == 0)
        rc = BQXSYNC(h, 4, 5, 1); /* batched, idempotent (at most 5 requests in flight): BQXPROD returns once the message is collected */
    for (int i = 0; rc == 0 && i < count; i++) {
        char key[32], value[64];
        snprintf(key, sizeof key, "customer-%d", i % 5);
        snprintf(value, sizeof value, "order %d", i);
        rc = BQXPROD(h, key, (uint32_t)strlen(key), value, (uint32_t)strlen(value), 0);
    }
    if (rc == 0)
        rc = BQXSYNC(h, 2, 100, 1); /* synch point: every message acknowledged, or an error */
    if (rc != 0) {
        char text[256];
        int32_t length = sizeof text;
        BQXGERR(h, text, &length);
        fprintf(stderr, "producer: error %d: %.*s\n", rc, (int)length, text);
    } else {
        printf("producer: %d messages acknowledged\n", count);
    }
    BQXCLSE(h);
    return rc == 0 ? 0 : 1;
}
