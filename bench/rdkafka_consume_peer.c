/* rdkafka_consume_peer: consume throughput of librdkafka's consumer, the
 * reference that bqx_bench_consume is compared with in the same run on the
 * same broker.
 *
 *   rdkafka_consume_peer bootstrap topic count [name=value ...]
 *   rdkafka_consume_peer --version
 *
 * Joins a consumer group of its own (a new group per run, offsets from the
 * beginning, librdkafka's other defaults: automatic commits, its fetch
 * sizes and prefetching) and reads `count` messages with
 * rd_kafka_consumer_poll. The clock runs from the subscription (which
 * joins the group, as the first BQXCONS does) until the last message
 * arrived; client_cpu_s is the process's user + system CPU time (every
 * librdkafka thread included) over the same span, peak_rss_kb its peak
 * resident memory, first_s the time from the subscription to the first
 * message (the group join). One line starts with "result" and holds key=value
 * fields; MB is 10^6 bytes of message values. Further arguments name=value
 * set librdkafka properties on top of these. */
#include <librdkafka/rdkafka.h>

#include "peak_memory.h"
#include "peer_clock.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kPollMs = 1000, kIdleLimitMs = 10000 };

static int setProperty(rd_kafka_conf_t *conf, const char *name, const char *value) {
    char error[512];
    if (rd_kafka_conf_set(conf, name, value, error, sizeof error) == RD_KAFKA_CONF_OK)
        return 0;
    fprintf(stderr, "rdkafka_consume_peer: %s\n", error);
    return 1;
}

static rd_kafka_t *createConsumer(const char *bootstrap, char **extra, int extraCount) {
    char error[512], group[64];
    snprintf(group, sizeof group, "rdkafka-bench-%ld-%ld", (long)getpid(), (long)time(NULL));
    const char *config[][2] = {
        {"bootstrap.servers", bootstrap},
        {"group.id", group},
        {"auto.offset.reset", "earliest"},
    };
    rd_kafka_conf_t *conf = rd_kafka_conf_new();
    int failed = 0;
    for (size_t i = 0; i < sizeof config / sizeof config[0]; ++i)
        failed |= setProperty(conf, config[i][0], config[i][1]);
    for (int i = 0; i < extraCount; ++i) {
        char *eq = strchr(extra[i], '=');
        if (eq == NULL) {
            fprintf(stderr, "rdkafka_consume_peer: %s is not name=value\n", extra[i]);
            failed = 1;
            continue;
        }
        *eq = '\0';
        failed |= setProperty(conf, extra[i], eq + 1);
    }
    if (failed) {
        rd_kafka_conf_destroy(conf);
        return NULL;
    }
    rd_kafka_t *consumer = rd_kafka_new(RD_KAFKA_CONSUMER, conf, error, sizeof error);
    if (consumer == NULL)
        fprintf(stderr, "rdkafka_consume_peer: %s\n", error);
    else
        rd_kafka_poll_set_consumer(consumer);
    return consumer;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s\n", rd_kafka_version_str()); /* the library linked, not the header */
        return 0;
    }
    long count = argc >= 4 ? atol(argv[3]) : 0;
    if (count < 1 || count > 100000000) {
        fprintf(stderr, "usage: %s bootstrap topic count [name=value ...]\n", argv[0]);
        return 2;
    }
    rd_kafka_t *consumer = createConsumer(argv[1], argv + 4, argc - 4);
    if (consumer == NULL)
        return 1;
    rd_kafka_topic_partition_list_t *topics = rd_kafka_topic_partition_list_new(1);
    rd_kafka_topic_partition_list_add(topics, argv[2], RD_KAFKA_PARTITION_UA);
    double cpuStart = cpuSeconds(), start = nowSeconds(), lastAt = start, firstAt = 0;
    int rc = rd_kafka_subscribe(consumer, topics) != RD_KAFKA_RESP_ERR_NO_ERROR;
    rd_kafka_topic_partition_list_destroy(topics);
    long consumed = 0;
    unsigned long long bytes = 0;
    while (rc == 0 && consumed < count) {
        rd_kafka_message_t *message = rd_kafka_consumer_poll(consumer, kPollMs);
        double now = nowSeconds();
        if (message == NULL) {
            if ((now - lastAt) * 1000 > kIdleLimitMs)
                rc = 1;
            continue;
        }
        if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
            if (consumed++ == 0)
                firstAt = now;
            bytes += message->len;
            lastAt = now;
        } else if (message->err != RD_KAFKA_RESP_ERR__PARTITION_EOF) {
            fprintf(stderr, "rdkafka_consume_peer: %s\n", rd_kafka_message_errstr(message));
        }
        rd_kafka_message_destroy(message);
    }
    double seconds = lastAt - start, cpu = cpuSeconds() - cpuStart;
    double perSecond = consumed / seconds;
    printf("result client=rdkafka setting=consume count=%ld consumed=%ld rc=%d seconds=%.3f "
           "msgs_per_s=%.0f mb_per_s=%.2f client_cpu_s=%.3f peak_rss_kb=%ld first_s=%.3f\n",
           count, consumed, rc, seconds, perSecond, (double)bytes / seconds / 1e6, cpu,
           peak_memory_kb(), consumed > 0 ? firstAt - start : 0.0);
    rd_kafka_consumer_close(consumer);
    rd_kafka_destroy(consumer);
    return rc;
}
