// The wire codec: request marshaller and header, reply unmarshaller,
// character conversion, CRC-32C and the key hash.
#ifndef BQX_CODEC_CODEC_H
#define BQX_CODEC_CODEC_H

#include <stddef.h>
#include <stdint.h>

struct PCB;

// Conversion directions of iconv_convert.
constexpr int32_t kToUtf8 = 0;   // local code page to UTF-8 (cdEncode)
constexpr int32_t kFromUtf8 = 1; // UTF-8 to local code page (cdDecode)

// Marshaller and unmarshaller failures (negative positions).
constexpr int32_t kCodecBadFormat = -1; // a pair of the format is not a code
constexpr int32_t kCodecOverrun = -2;   // the field does not fit the buffer / reply

// Writes the request header (size hole, API key, version, correlation id of
// broker entry `brokerIndex`, client id) into `buffer`. Returns the position
// behind it, or 0 when it does not fit (logged as 7514).
// The client id of the session's request headers: BQXCONF's client.id, or
// gpszClientID. Headers are built with room for twice its length.
constexpr uint32_t kMaxClientIdBytes = 64;
const char *bqx_client_id(const PCB *pcb);

int32_t kafka_marshall_ReqHdr(PCB *pcb, uint32_t brokerIndex, uint8_t *buffer,
                              uint32_t bufferSize, int32_t apiKey, int32_t apiVersion);

// Appends the fields of `format` at `position`. Returns the position behind
// them; kCodecBadFormat for a pair that is not a code; kCodecOverrun (after
// logging 7514) when a field would not fit `bufferSize`. A negative
// `position` writes nothing and is returned unchanged, so calls can be
// chained and checked once at the end.
int32_t kafka_marshall_new(PCB *pcb, uint8_t *buffer, uint32_t bufferSize,
                           int32_t position, const char *format, ...);

// Decodes the fields of `format` from `reply` (`replyLen` bytes, size field
// included) at `position`. Returns the position behind them; kCodecBadFormat
// for a pair that is not a code; kCodecOverrun when a field reaches beyond
// the reply. On failure every target not yet filled is set to zero or null.
// A negative `position` fills every target with zero or null and is
// returned unchanged. Decoded texts are heap buffers owned by the caller.
int32_t kafka_unmarshall_new(PCB *pcb, const uint8_t *reply, uint32_t replyLen,
                             int32_t position, const char *format, ...);

// Opens cdEncode and cdDecode from the locale's code set. Returns 0, 7530
// or 7538 (errorOut: the system error number).
int32_t iconv_init(PCB *pcb, int32_t *errorOut);

// Converts `inputLen` bytes in pieces of 2048. `outputLen` holds the
// capacity on entry and the bytes produced on return. Returns 0, 7539,
// 7544 (input copied unconverted) or -1 (as 7544, but the output is smaller
// than the input; errorOut = E2BIG).
int32_t iconv_convert(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                      uint32_t *outputLen, uint32_t *errorOut, int32_t direction);

// As iconv_convert, for credentials: a failure never dumps the input or the
// output, so that no part of a secret reaches the log.
int32_t iconv_convert_secret(PCB *pcb, const char *input, uint32_t inputLen, char *output,
                             uint32_t *outputLen, uint32_t *errorOut, int32_t direction);

// Closes both descriptors of the session.
void iconv_done(PCB *pcb);

// CRC-32C; crc 0 starts a checksum, a previous result continues it.
uint32_t crc32c(uint32_t crc, const void *data, uint64_t length);
uint32_t crc32c_sw(uint32_t crc, const void *data, uint64_t length);

// The key hash that chooses a message's partition.
uint32_t djb_hash(const void *data, uint64_t length);
// The Java client's murmur2 (seed 0x9747b28c) over `length` bytes; its
// default partitioner takes (hash & 0x7fffffff) % partitions.
uint32_t murmur2_hash(const void *data, uint64_t length);

// Prints `rows` x `columns` words as a C table declaration to standard output.
void print_table(const uint32_t *table, size_t rows, size_t columns, const char *name);

#endif
