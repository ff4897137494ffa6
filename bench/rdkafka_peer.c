/* rdkafka_peer: produce throughput of librdkafka, the reference that
 * bqx_bench_produce is compared with in the same run on the same broker.
 *
 *   rdkafka_peer bootstrap topic count size setting
 *
 * Produces `count` messages of `size` bytes (the letters a-z repeated, the
 * bytes bqx_bench_produce sends) without a key to `topic` in one of three
 * settings:
 *
 *   sync      acks=all, max.in.flight=1, linger.ms=0, and rd_kafka_flush
 *             after every message: one message at a time, each waited for;
 *             the latency of every message (produce call to the return of
 *             its flush) is recorded
 *   single    acks=1, linger.ms=0, batch.num.messages=1: one record per
 *             request, many requests in flight
 *   defaults  librdkafka's own settings (acks=all, batching)
 *   idempotent  the defaults with enable.idempotence=true
 *   gzip, snappy, lz4, zstd  the defaults with compression.codec set, and
 *             the JSON-like values of bench_text.h (the bytes
 *             bqx_bench_produce sends with that codec)
 *
 * The clock runs from the first produce call until the last delivery
 * report (the final rd_kafka_flush returns after it); creating the
 * producer and fetching the topic's metadata are outside it, as BQXOPEN
 * and BQXCONN are for bqx_bench_produce. client_cpu_s is the process's
 * user + system CPU time (every librdkafka thread included) over the same
 * span. One line starts with "result" and holds key=value fields; MB is
 * 10^6 bytes of message values.
 *
 * A bootstrap text starting with "SSL://" connects over TLS, as it does for
 * bqx: the CA file is the one BQX_SSL_CA_FILE names (else the system's). */
#include <librdkafka/rdkafka.h>

#include "bench_text.h"
#include "peer_clock.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <time.h>

enum { kMetadataTimeoutMs = 10000, kFlushTimeoutMs = 60000 };

typedef struct {
    const char *name;
    const char *config[4][2]; /* name, value; unused pairs are NULL */
    int text;                 /* the values of bench_text.h, else letters */
} Setting;

static const Setting kSettings[] = {
    {"sync", {{"acks", "all"}, {"max.in.flight", "1"}, {"linger.ms", "0"}, {NULL, NULL}}, 0},
    {"single", {{"acks", "1"}, {"linger.ms", "0"}, {"batch.num.messages", "1"}, {NULL, NULL}}, 0},
    {"defaults", {{NULL, NULL}}, 0},
    {"idempotent", {{"enable.idempotence", "true"}, {NULL, NULL}}, 0},
    {"gzip", {{"compression.codec", "gzip"}, {NULL, NULL}}, 1},
    {"snappy", {{"compression.codec", "snappy"}, {NULL, NULL}}, 1},
    {"lz4", {{"compression.codec", "lz4"}, {NULL, NULL}}, 1},
    {"zstd", {{"compression.codec", "zstd"}, {NULL, NULL}}, 1},
};

typedef struct {
    uint64_t delivered; /* delivery reports without error */
    uint64_t failed;    /* delivery reports with an error */
    rd_kafka_resp_err_t firstError;
} Deliveries;

static void onDelivery(rd_kafka_t *rk, const rd_kafka_message_t *message, void *opaque) {
    (void)rk;
    Deliveries *deliveries = opaque;
    if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
        deliveries->delivered++;
        return;
    }
    if (deliveries->failed++ == 0) {
        deliveries->firstError = message->err;
        fprintf(stderr, "rdkafka_peer: delivery failed: %s\n", rd_kafka_err2str(message->err));
    }
}

static const Setting *findSetting(const char *name) {
    for (size_t i = 0; i < sizeof kSettings / sizeof kSettings[0]; ++i)
        if (strcmp(kSettings[i].name, name) == 0)
            return &kSettings[i];
    return NULL;
}

static rd_kafka_t *createProducer(const char *bootstrap, const Setting *setting,
                                  Deliveries *deliveries) {
    char error[512];
    rd_kafka_conf_t *conf = rd_kafka_conf_new();
    int tls = strncasecmp(bootstrap, "SSL://", 6) == 0;
    const char *caFile = getenv("BQX_SSL_CA_FILE");
    if (rd_kafka_conf_set(conf, "bootstrap.servers", bootstrap + (tls ? 6 : 0), error,
                          sizeof error) != RD_KAFKA_CONF_OK)
        goto failed;
    if (tls && (rd_kafka_conf_set(conf, "security.protocol", "ssl", error, sizeof error) !=
                    RD_KAFKA_CONF_OK ||
                (caFile != NULL && rd_kafka_conf_set(conf, "ssl.ca.location", caFile, error,
                                                     sizeof error) != RD_KAFKA_CONF_OK)))
        goto failed;
    for (int i = 0; i < 4 && setting->config[i][0] != NULL; ++i)
        if (rd_kafka_conf_set(conf, setting->config[i][0], setting->config[i][1], error,
                              sizeof error) != RD_KAFKA_CONF_OK)
            goto failed;
    rd_kafka_conf_set_dr_msg_cb(conf, onDelivery);
    rd_kafka_conf_set_opaque(conf, deliveries);
    rd_kafka_t *producer = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
    if (producer != NULL)
        return producer; /* it owns conf now */
failed:
    fprintf(stderr, "rdkafka_peer: %s\n", error);
    rd_kafka_conf_destroy(conf);
    return NULL;
}

/* Waits until the topic's metadata (and so the bootstrap connection) is
 * there, so that the timed span starts with a known cluster. */
static int fetchMetadata(rd_kafka_t *producer, rd_kafka_topic_t *topic) {
    const struct rd_kafka_metadata *metadata = NULL;
    rd_kafka_resp_err_t err = rd_kafka_metadata(producer, 0, topic, &metadata, kMetadataTimeoutMs);
    if (err != RD_KAFKA_RESP_ERR_NO_ERROR) {
        fprintf(stderr, "rdkafka_peer: metadata: %s\n", rd_kafka_err2str(err));
        return -1;
    }
    int partitions = metadata->topic_cnt == 1 ? metadata->topics[0].partition_cnt : 0;
    rd_kafka_metadata_destroy(metadata);
    if (partitions > 0)
        return 0;
    fprintf(stderr, "rdkafka_peer: topic %s has no partitions\n", rd_kafka_topic_name(topic));
    return -1;
}

/* One message; a full local queue is drained by serving delivery reports
 * until there is room again. */
static int produceOne(rd_kafka_t *producer, rd_kafka_topic_t *topic, char *message, size_t size) {
    for (;;) {
        if (rd_kafka_produce(topic, RD_KAFKA_PARTITION_UA, RD_KAFKA_MSG_F_COPY, message, size, NULL,
                             0, NULL) == 0)
            return 0;
        rd_kafka_resp_err_t err = rd_kafka_last_error();
        if (err != RD_KAFKA_RESP_ERR__QUEUE_FULL) {
            fprintf(stderr, "rdkafka_peer: produce: %s\n", rd_kafka_err2str(err));
            return -1;
        }
        rd_kafka_poll(producer, 1);
    }
}

static int compareDoubles(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* The value below which `fraction` of the sorted `values` lie (nearest rank). */
static double percentile(const double *values, uint32_t count, double fraction) {
    uint32_t rank = (uint32_t)(fraction * count + 0.999999);
    return values[rank == 0 ? 0 : (rank > count ? count : rank) - 1];
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s\n", rd_kafka_version_str()); /* the library linked, not the header */
        return 0;
    }
    long count = argc == 6 ? atol(argv[3]) : 0, size = argc == 6 ? atol(argv[4]) : -1;
    const Setting *setting = argc == 6 ? findSetting(argv[5]) : NULL;
    if (count < 1 || count > 100000000 || size < 0 || size > (64L << 20) || setting == NULL) {
        fprintf(stderr,
                "usage: %s bootstrap topic count size "
                "sync|single|defaults|idempotent|gzip|snappy|lz4|zstd\n",
                argv[0]);
        return 2;
    }
    int synchronous = strcmp(setting->name, "sync") == 0;
    char *message = setting->text ? benchTextPool((size_t)size) : malloc((size_t)size + 1);
    size_t pool = setting->text ? kBenchTextPool : 1;
    double *latencies = synchronous ? calloc((size_t)count, sizeof *latencies) : NULL;
    if (message == NULL || (synchronous && latencies == NULL))
        return 1;
    for (long i = 0; !setting->text && i < size; ++i)
        message[i] = (char)('a' + i % 26);

    Deliveries deliveries = {0, 0, RD_KAFKA_RESP_ERR_NO_ERROR};
    rd_kafka_t *producer = createProducer(argv[1], setting, &deliveries);
    if (producer == NULL)
        return 1;
    rd_kafka_topic_t *topic = rd_kafka_topic_new(producer, argv[2], NULL);
    int rc = topic == NULL || fetchMetadata(producer, topic) != 0;

    uint32_t sent = 0;
    double cpuStart = cpuSeconds(), start = nowSeconds();
    for (long i = 0; i < count && rc == 0; ++i) {
        double before = synchronous ? nowSeconds() : 0;
        rc = produceOne(producer, topic, message + (size_t)(i % (long)pool) * (size_t)size,
                        (size_t)size) != 0;
        sent += rc == 0;
        if (rc == 0 && synchronous) {
            rc = rd_kafka_flush(producer, kFlushTimeoutMs) != RD_KAFKA_RESP_ERR_NO_ERROR;
            latencies[i] = nowSeconds() - before;
        }
    }
    if (rd_kafka_flush(producer, kFlushTimeoutMs) != RD_KAFKA_RESP_ERR_NO_ERROR) {
        fprintf(stderr, "rdkafka_peer: %d messages undelivered after %d ms\n",
                rd_kafka_outq_len(producer), kFlushTimeoutMs);
        rc = 1;
    }
    double seconds = nowSeconds() - start, cpu = cpuSeconds() - cpuStart;
    if (deliveries.failed > 0 || deliveries.delivered != sent)
        rc = 1;

    double perSecond = (double)deliveries.delivered / seconds;
    printf("result client=rdkafka setting=%s count=%ld size=%ld produced=%llu rc=%d seconds=%.3f "
           "msgs_per_s=%.0f mb_per_s=%.2f client_cpu_s=%.3f",
           setting->name, count, size, (unsigned long long)deliveries.delivered, rc, seconds,
           perSecond, perSecond * (double)size / 1e6, cpu);
    if (synchronous && sent > 0) {
        qsort(latencies, sent, sizeof *latencies, compareDoubles);
        printf(" p50_us=%.0f p99_us=%.0f", percentile(latencies, sent, 0.50) * 1e6,
               percentile(latencies, sent, 0.99) * 1e6);
    }
    printf("\n");
    if (topic != NULL)
        rd_kafka_topic_destroy(topic);
    rd_kafka_destroy(producer);
    free(latencies);
    free(message);
    return rc;
}
