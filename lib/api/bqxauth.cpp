// BQXAUTH: stores the SASL PLAIN credentials of a session. Every broker
// connection opened afterwards authenticates with them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr const char *kTag = "BQXAUTH";

// Frees a credential after wiping it.
void dropSecret(char **secret) {
    if (*secret)
        explicit_bzero(*secret, strlen(*secret));
    free(*secret);
    *secret = nullptr;
}

void storeCredentials(PCB *pcb, const char *user, int32_t userLen, const char *password,
                      int32_t passwordLen) {
    dropSecret(&pcb->pszSaslUser);
    dropSecret(&pcb->pszSaslPassword);
    pcb->pszSaslUser = bqx_copy_text(user ? user : "", static_cast<uint32_t>(userLen));
    pcb->pszSaslPassword =
        bqx_copy_text(password ? password : "", static_cast<uint32_t>(passwordLen));
    if (pcb->pszSaslUser && pcb->pszSaslPassword) {
        pcb->u32SaslEnabled = 1;
        return;
    }
    // Not logged: the failure shows only through BQXGERR.
    dropSecret(&pcb->pszSaslUser);
    dropSecret(&pcb->pszSaslPassword);
    pcb->i32LastError = -1;
    snprintf(pcb->szLastError, sizeof pcb->szLastError, "%s",
             "Cannot allocate Memory for Strings provided for bqx_authenticate");
}

// PLAIN separates the fields by zero bytes: a credential that holds one
// would be cut at it (and wiped only up to it). It is refused.
int32_t refuseZeroByte(PCB *pcb, const char *what, const char *text, int32_t length) {
    if (length <= 0 || !memchr(text, '\0', static_cast<size_t>(length)))
        return 0;
    char reason[64];
    snprintf(reason, sizeof reason, "invalid argument: zero byte in %s", what);
    bqx_log_vf(ERR_PROTOCOL, pcb, kTag, -1, -1, 1, reason);
    return ERR_PROTOCOL;
}

} // namespace

int32_t BQXAUTH(int32_t handle, const char *user, int32_t userLen, const char *password,
                int32_t passwordLen) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    int32_t rc = bqx_check_buffer(pcb, kTag, "user", user, userLen);
    if (rc == 0)
        rc = bqx_check_buffer(pcb, kTag, "password", password, passwordLen);
    if (rc == 0)
        rc = refuseZeroByte(pcb, "user", user, userLen);
    if (rc == 0)
        rc = refuseZeroByte(pcb, "password", password, passwordLen);
    if (rc == 0)
        storeCredentials(pcb, user, userLen, password, passwordLen);
    bqx_leave(pcb, kTag);
    return rc;
}
