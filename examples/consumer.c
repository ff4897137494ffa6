/*
 * A C consumer in a group: reads COUNT messages of TOPIC as a member of
 * GROUP and prints each one's key, partition, offset and timestamp
 * (BQXINFO). A new group starts at the topic's beginning.
 *
 *   consumer BOOTSTRAP TOPIC GROUP [COUNT]
 */
#include <bqx.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define VALUE_CAPACITY 65536
#define KEY_CAPACITY 1024

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s BOOTSTRAP TOPIC GROUP [COUNT]\n", argv[0]);
        return 2;
    }
    const char *bootstrap = argv[1], *topic = argv[2], *group = argv[3];
    int count = argc > 4 ? atoi(argv[4]) : 10;
    static char value[VALUE_CAPACITY + 1]; /* the value is followed by a zero byte */
    char key[KEY_CAPACITY];

    int32_t h = BQXOPEN();
    if (h < 0)
        return 1;
    const char *reset = "earliest";
    int32_t rc = BQXCONF(h, "auto.offset.reset", 17, reset, (int32_t)strlen(reset));
    if (rc == 0)
        rc = BQXCONN(h, bootstrap, (int32_t)strlen(bootstrap), topic, (int32_t)strlen(topic));
    int received = 0;
    while (rc == 0 && received < count) {
        uint32_t valueLength = VALUE_CAPACITY;
        rc = BQXCONS(h, group, (int32_t)strlen(group), value, &valueLength, 0, 30);
        if (rc != 0 && rc != 5000) /* 5000: the value was longer and is cut */
            break;
        uint32_t keyLength = KEY_CAPACITY, flags = 0;
        int32_t partition = -1;
        int64_t offset = -1, timestamp = 0;
        rc = BQXINFO(h, key, &keyLength, &partition, &offset, &timestamp, &flags);
        if (rc != 0 && rc != 5000)
            break;
        rc = 0;
        printf("key=%.*s partition=%d offset=%" PRId64 " timestamp=%" PRId64 " value=%.*s\n",
               (flags & BQX_INFO_KEY_NULL) ? 6 : (int)keyLength,
               (flags & BQX_INFO_KEY_NULL) ? "(null)" : key, partition, offset, timestamp,
               (int)valueLength, value);
        received++;
    }
    if (rc != 0) {
        char text[256];
        int32_t length = sizeof text;
        BQXGERR(h, text, &length);
        fprintf(stderr, "consumer: error %d after %d messages: %.*s\n", rc, received,
                (int)length, text);
    }
    BQXCLSE(h); /* commits what was consumed and leaves the group */
    return rc == 0 ? 0 : 1;
}
