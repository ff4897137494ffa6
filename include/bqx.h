/*
 * bqx: a small Kafka client library with a fixed-name call interface.
 *
 * Every entry point takes 32-bit integers and pointers to buffers owned by the
 * caller, and returns a 32-bit result: 0 for success or the number of the
 * error that was written to the log (standard output).
 *
 * This header compiles as C and as C++.
 */
#ifndef BQX_H
#define BQX_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BQX_API __attribute__((visibility("default")))
#else
#define BQX_API
#endif

/* Most sessions that may be open at once in one process. */
#define BQX_MAX_SESSIONS 5

/* Function codes of BQXFUNC. */
#define BQX_FC_TABLE 0 /* address of the descriptor table paFctPrm */
#define BQX_FC_OPEN 1
#define BQX_FC_CONN 2
#define BQX_FC_CLSE 3
#define BQX_FC_PROD 4
#define BQX_FC_CONS 5
#define BQX_FC_DBUG 6
#define BQX_FC_SYNC 7
#define BQX_FC_AUTH 8
#define BQX_FC_GERR 9
#define BQX_FC_CLDB 10
#define BQX_FC_TERM 11
#define BQX_FC_TIMO 12
#define BQX_FC_CONF 13
#define BQX_FC_INFO 14
#define BQX_FC_COUNT 14

/* Sessions. */
BQX_API int32_t BQXOPEN(void);
BQX_API int32_t BQXCLSE(int32_t handle);
BQX_API int32_t BQXTERM(void);

/* Cluster, authentication, produce and consume. */
BQX_API int32_t BQXCONN(int32_t handle, const char *bootstrap, int32_t bootstrapLen,
                        const char *topic, int32_t topicLen);
BQX_API int32_t BQXAUTH(int32_t handle, const char *user, int32_t userLen,
                        const char *password, int32_t passwordLen);
BQX_API int32_t BQXPROD(int32_t handle, const char *key, uint32_t keyLen,
                        const char *message, uint32_t messageLen, uint32_t convert);
/* BQXCONS: one message of the session's topic as a member of `group`. On
   entry *bufferLen is the capacity; the buffer must hold capacity + 1 bytes
   (the value is followed by a zero byte). On return *bufferLen is the
   value's length; a longer value is cut (warning 5000). 7543: no message
   within timeoutSeconds (0 waits without limit). */
BQX_API int32_t BQXCONS(int32_t handle, const char *group, int32_t groupLen,
                        char *buffer, uint32_t *bufferLen, int32_t convert,
                        int32_t timeoutSeconds);
BQX_API int32_t BQXSYNC(int32_t handle, int32_t synchMode, uint32_t sendWindow,
                        uint32_t receiveWindow);

/* Settings and the last error. */
BQX_API int32_t BQXDBUG(int32_t handle, int32_t level);
BQX_API int32_t BQXCLDB(int32_t handle, int32_t enable);
BQX_API int32_t BQXTIMO(int32_t handle, uint32_t seconds);
BQX_API int32_t BQXGERR(int32_t handle, char *buffer, int32_t *length);
/* BQXCONF: one setting of the session by name (docs/calls.md lists them),
   e.g. "client.id", "auto.offset.reset", "partitioner". A refused name or
   value (error 7548) leaves the setting as it was. */
BQX_API int32_t BQXCONF(int32_t handle, const char *name, int32_t nameLength, const char *value,
                        int32_t valueLength);

/* BQXINFO: the key, partition, offset and timestamp (ms) of the message the
   last BQXCONS of the session returned. On entry *keyLength is the key
   buffer's capacity; on return the key's length (a longer key is cut,
   warning 5000). flags: BQX_INFO_VALUE_NULL, BQX_INFO_KEY_NULL. 7522: the
   last BQXCONS returned no message. */
#define BQX_INFO_VALUE_NULL 1u
#define BQX_INFO_KEY_NULL 2u
BQX_API int32_t BQXINFO(int32_t handle, char *keyBuffer, uint32_t *keyLength, int32_t *partition,
                        int64_t *offset, int64_t *timestamp, uint32_t *flags);

/* Every entry point above by its function code, with the same arguments. */
BQX_API int32_t BQXFUNC(uint32_t functionCode, ...);

/* Exported data. */
struct PCB;
BQX_API extern struct PCB *gpcbList[BQX_MAX_SESSIONS];
BQX_API extern pthread_mutex_t gMutex;
BQX_API extern int32_t giDebugLevel; /* above 1: every lock and unlock is logged */
BQX_API extern int32_t giThreadActive;
BQX_API extern pthread_t gThreadId;
BQX_API extern char gpszVersion[53];
BQX_API extern const char gpszClientID[8];
BQX_API extern const char gpszClientVer[4];
BQX_API extern const char *const aszBqxInfMsgs[50];
BQX_API extern const char *const aszBqxWrnMsgs[10];
BQX_API extern const char *const aszBqxErrMsgs[50];

/* One row of gaszKafkaErrors: Kafka error code = row index. */
typedef struct KafkaErrorText {
    uint64_t ullRetriable;
    const char *pszText;
} KafkaErrorText;
BQX_API extern const KafkaErrorText gaszKafkaErrors[105];

BQX_API extern const uint32_t crc32c_table[8][256];
BQX_API extern const uint8_t cCRCReferenzMsg[57];

/* The descriptor table: word 0 the eye-catcher, word 1 the number of codes,
 * words 2 to 15 the parameter descriptors of function codes 1 to 14. */
typedef struct BqxFctPrm {
    uint64_t ullEyeCatcher;
    uint64_t ullCount;
    const char *apszDescriptor[BQX_FC_COUNT];
} BqxFctPrm;
BQX_API extern const BqxFctPrm paFctPrm;

#ifdef __cplusplus
}
#endif

#endif /* BQX_H */
