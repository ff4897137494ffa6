// BQXCONN: attaches a session to a cluster and one topic. The servers of
// the bootstrap list are tried in turn until one is connected; it is asked
// for the topic's metadata and disconnected again; the Metadata reply
// leaves the broker table and the partition list.
// A bootstrap text may begin with the listener's security protocol
// (PLAINTEXT://, SSL://, SASL_PLAINTEXT://, SASL_SSL://): with SSL and
// SASL_SSL every connection of the session runs over TLS. SASL itself is
// used when BQXAUTH gave credentials, whatever the prefix says.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"
#include "transport/transport.h"

namespace {

constexpr const char *kTag = "BQXCONN";
constexpr int32_t kDefaultPort = 9092;
constexpr size_t kShownTextSize = 129; // the 7519 line shows 128 characters

// Length of the host part of a bootstrap text: up to the first ':' of the
// first server of a comma-separated list.
uint32_t hostLength(const char *text, uint32_t length) {
    uint32_t i = 0;
    while (i < length && text[i] != ':' && text[i] != ',' && text[i] != '\0')
        ++i;
    return i;
}

int32_t badBootstrap(PCB *pcb, const char *text, int32_t length) {
    char shown[kShownTextSize] = "";
    if (text && length > 0)
        snprintf(shown, sizeof shown, "%.*s", length < 128 ? length : 128, text);
    bqx_log_vf(ERR_NO_ADDRESS, pcb, kTag, -1, -1, 2, -1, shown);
    return ERR_NO_ADDRESS;
}

// The security protocols a bootstrap text may name, and whether each uses TLS.
struct SecurityPrefix {
    const char *text;
    uint32_t tls;
};
constexpr SecurityPrefix kSecurityPrefixes[] = {
    {"PLAINTEXT://", 0}, {"SSL://", 1}, {"SASL_PLAINTEXT://", 0}, {"SASL_SSL://", 1}};

// The length of the text's security prefix (0 without one) and, in *tls,
// whether it asks for TLS; -1 for a "...://" that names no protocol.
int32_t securityPrefix(const char *text, int32_t length, uint32_t *tls) {
    *tls = 0;
    for (const SecurityPrefix &prefix : kSecurityPrefixes) {
        int32_t size = static_cast<int32_t>(strlen(prefix.text));
        if (length >= size && strncasecmp(text, prefix.text, static_cast<size_t>(size)) == 0) {
            *tls = prefix.tls;
            return size;
        }
    }
    const void *scheme = memchr(text, ':', static_cast<size_t>(length));
    const char *colon = static_cast<const char *>(scheme);
    bool namesScheme = colon && colon + 3 <= text + length && colon[1] == '/' && colon[2] == '/';
    return namesScheme ? -1 : 0;
}

int32_t badArgument(PCB *pcb, const char *reason) {
    bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, reason);
    return ERR_PROTOCOL;
}

// Rejects what cannot name a server and a topic before the session's
// current connection is touched. An empty topic is refused here since no
// broker accepts it.
int32_t checkArguments(PCB *pcb, const char *bootstrap, int32_t bootstrapLen, const char *topic,
                       int32_t topicLen, int32_t *prefixLen, uint32_t *tls) {
    if (bootstrapLen <= 0 || !bootstrap)
        return badBootstrap(pcb, bootstrap, bootstrapLen);
    *prefixLen = securityPrefix(bootstrap, bootstrapLen, tls);
    if (*prefixLen < 0 ||
        hostLength(bootstrap + *prefixLen, static_cast<uint32_t>(bootstrapLen - *prefixLen)) == 0)
        return badBootstrap(pcb, bootstrap, bootstrapLen);
    int32_t rc = bqx_check_buffer(pcb, kTag, "topic", topic, topicLen);
    if (rc != 0)
        return rc;
    if (topicLen == 0 || topic[0] == '\0')
        return badArgument(pcb, "invalid argument: empty topic");
    return 0;
}

// The port behind the first ':' by its leading decimal digits (0 when there
// are none), or 9092 without a ':'. Cuts the host text behind its name.
int32_t parseBootstrap(char *host) {
    host[strcspn(host, ",")] = '\0';
    char *colon = strchr(host, ':');
    if (!colon)
        return kDefaultPort;
    *colon = '\0';
    int64_t port = 0;
    for (const char *digit = colon + 1; *digit >= '0' && *digit <= '9'; ++digit)
        if (port <= INT32_MAX)
            port = port * 10 + (*digit - '0');
    return port <= INT32_MAX ? static_cast<int32_t>(port) : INT32_MAX;
}

// Allocates the topic and the two-entry table (bootstrap, coordinator slot).
int32_t allocateSession(PCB *pcb, const char *bootstrap, int32_t bootstrapLen, const char *topic,
                        int32_t topicLen) {
    pcb->pBrokerList = static_cast<BrokerEntry *>(calloc(2, sizeof(BrokerEntry)));
    pcb->u32BrokerCount = pcb->pBrokerList ? 2 : 0;
    for (uint32_t i = 0; i < pcb->u32BrokerCount; ++i)
        pcb->pBrokerList[i].i32Socket = -1;
    pcb->pszTopic = bqx_copy_text(topic, static_cast<uint32_t>(topicLen));
    const char *missing = nullptr;
    if (!pcb->pBrokerList)
        missing = "BrokerList";
    else if (!pcb->pszTopic)
        missing = "Topic";
    else if (!(pcb->pBrokerList[0].pszHost =
                   bqx_copy_text(bootstrap, static_cast<uint32_t>(bootstrapLen))))
        missing = "Hostname of Bootstrap Server";
    if (missing) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, missing);
        return ERR_MEMORY;
    }
    return 0;
}

// Makes the bootstrap entry the list's server that begins at `server`:
// its own copy of the host text, and the port. Returns 0 or 7503.
int32_t takeServer(PCB *pcb, const char *server) {
    uint32_t tls = 0;
    int32_t prefix = securityPrefix(server, static_cast<int32_t>(strlen(server)), &tls);
    if (prefix > 0)
        server += prefix; // each server of the list may repeat the protocol
    char *host = bqx_copy_text(server, static_cast<uint32_t>(strcspn(server, ",")));
    if (!host) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Hostname of Bootstrap Server");
        return ERR_MEMORY;
    }
    BrokerEntry &bootstrap = pcb->pBrokerList[0];
    free(bootstrap.pszHost);
    bootstrap.pszHost = host;
    bootstrap.i32Port = parseBootstrap(host);
    return 0;
}

// Tries the servers of the comma-separated list in turn until one is
// connected (every failure is logged), then asks it for the Metadata.
// Empty items are skipped. Returns the last server's failure when none
// could be connected.
int32_t connectBootstrap(PCB *pcb) {
    char *list = bqx_copy_text(pcb->pBrokerList[0].pszHost,
                               static_cast<uint32_t>(strlen(pcb->pBrokerList[0].pszHost)));
    if (!list) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, "Bootstrap List");
        return ERR_MEMORY;
    }
    pcb->ullStartTime = static_cast<uint64_t>(getTimeStamp());
    int32_t rc = ERR_NO_ADDRESS;
    for (const char *server = list; *server; server += strcspn(server, ",")) {
        server += strspn(server, ",");
        if (!*server)
            break;
        rc = takeServer(pcb, server);
        if (rc != 0)
            break;
        const BrokerEntry &bootstrap = pcb->pBrokerList[0];
        if (pcb->iDebugLevel >= 2)
            bqx_log_vf(INF_PARAMETERS, pcb, kTag, -1, -1, 3, bootstrap.pszHost, bootstrap.i32Port,
                       pcb->pszTopic);
        rc = kafka_connect(pcb, 0);
        if (rc == 0 || rc == ERR_HANDLE)
            break;
        kafka_clearBroker(pcb, 0, 1);
    }
    free(list);
    if (rc == 0)
        rc = kafka_meta(pcb, 0);
    return rc;
}

int32_t connectSession(PCB *pcb, const char *bootstrap, int32_t bootstrapLen, const char *topic,
                       int32_t topicLen, uint32_t tls) {
    kafka_disconnect(pcb);
    bqx_delivered_forget(pcb);
    // The TLS context is made afresh, so that changed BQX_SSL_* files count.
    int32_t rc = kafka_tls_setup(pcb, tls);
    if (rc == 0)
        rc = allocateSession(pcb, bootstrap, bootstrapLen, topic, topicLen);
    if (rc == 0)
        rc = connectBootstrap(pcb);
    // The bootstrap connection is not kept; the leaders are connected when
    // they are first needed.
    if (pcb->pBrokerList && pcb->u32BrokerCount >= 2)
        kafka_clearBroker(pcb, pcb->u32BrokerCount - 2, 0);
    // Closing the bootstrap connection on purpose says nothing about the
    // leaders: the Metadata just read is fresh.
    if (rc == 0)
        pcb->u32MetadataStale = 0;
    return rc;
}

} // namespace

int32_t BQXCONN(int32_t handle, const char *bootstrap, int32_t bootstrapLen, const char *topic,
                int32_t topicLen) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    int32_t prefixLen = 0;
    uint32_t tls = 0;
    int32_t rc = checkArguments(pcb, bootstrap, bootstrapLen, topic, topicLen, &prefixLen, &tls);
    // The tables are replaced: no other call of the session may run meanwhile.
    if (rc == 0)
        rc = bqx_claim(pcb, kTag);
    if (rc == 0)
        rc = connectSession(pcb, bootstrap + prefixLen, bootstrapLen - prefixLen, topic, topicLen,
                            tls);
    bqx_leave(pcb, kTag);
    return rc;
}
