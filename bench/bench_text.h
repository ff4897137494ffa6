/* Deterministic JSON-like message values for the compression comparison,
 * shared by bqx_bench_produce and rdkafka_peer so that both send the same
 * bytes: event records with ids, names, pages and numbers that vary from
 * value to value, as application logs and events do. A pool of distinct
 * values is made before the clock starts and sent in turn; it is larger
 * than a batch, so no batch holds a value twice. */
#ifndef BQX_BENCH_BENCH_TEXT_H
#define BQX_BENCH_BENCH_TEXT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kBenchTextPool = 4096 };

static inline uint32_t benchTextNext(uint32_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

/* Value `seq` of exactly `size` bytes (no newline, no NUL). The random
 * numbers are drawn one statement at a time: the order in which a call's
 * arguments are evaluated is unspecified, and both programs must agree. */
static inline void benchTextValue(char *out, size_t size, uint32_t seq) {
    static const char *const kEvents[] = {"page_view", "add_to_cart", "purchase", "search",
                                          "login",     "logout",      "review",   "share"};
    static const char *const kCountries[] = {"DE", "FR", "US", "GB", "JP", "BR", "IN", "NL"};
    static const char *const kWords[] = {"blue", "shirt",  "cotton", "large", "shoes",  "leather",
                                         "sale", "summer", "garden", "chair", "wooden", "lamp"};
    uint32_t state = 2463534242u ^ (seq * 2654435761u);
    uint32_t r[10];
    char *text = (char *)malloc(size + 512);
    size_t at = 0;
    if (text == NULL)
        return;
    for (int i = 0; i < 10; ++i)
        r[i] = benchTextNext(&state);
    at += (size_t)sprintf(
        text + at,
        "{\"id\":%u,\"ts\":\"2026-12-%02uT%02u:%02u:%02u.%03uZ\",\"event\":\"%s\","
        "\"user\":{\"id\":\"u-%06u\",\"country\":\"%s\",\"premium\":%s},"
        "\"session\":\"%08x%08x\",\"items\":[",
        seq, 1 + r[0] % 28, r[1] % 24, r[2] % 60, r[3] % 60, r[4] % 1000, kEvents[r[5] % 8],
        r[6] % 200000, kCountries[r[7] % 8], r[8] % 4 ? "false" : "true", r[9], r[0] ^ r[9]);
    while (at < size) {
        for (int i = 0; i < 8; ++i)
            r[i] = benchTextNext(&state);
        at += (size_t)sprintf(text + at,
                              "{\"sku\":\"SKU-%05u\",\"name\":\"%s %s %s\",\"qty\":%u,"
                              "\"price\":%u.%02u,\"page\":\"/p/%u\"},",
                              r[0] % 50000, kWords[r[1] % 12], kWords[r[2] % 12], kWords[r[3] % 12],
                              1 + r[4] % 5, r[5] % 500, r[6] % 100, r[7] % 100000);
    }
    memcpy(out, text, size);
    if (size >= 2) {
        out[size - 2] = ']';
        out[size - 1] = '}';
    }
    free(text);
}

/* kBenchTextPool values of `size` bytes back to back; null when out of memory. */
static inline char *benchTextPool(size_t size) {
    char *pool = (char *)malloc(size * kBenchTextPool + 1);
    for (uint32_t i = 0; pool != NULL && i < kBenchTextPool; ++i)
        benchTextValue(pool + (size_t)i * size, size, i);
    return pool;
}

#endif
