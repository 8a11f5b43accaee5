// Stand-ins for the command queue until it is merged in; linked only by the worker test.
#include "worker_internal.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

void wcmd_free(quorvane_wcmd *c) {
    if (!c) return;
    std::free(c->members);
    std::free(c->list);
    if (c->text) {
        OPENSSL_cleanse(c->text, std::strlen(c->text));
        std::free(c->text);
    }
    if (c->text2) {
        OPENSSL_cleanse(c->text2, std::strlen(c->text2));
        std::free(c->text2);
    }
    OPENSSL_cleanse(c, sizeof *c);
    std::free(c);
}

int cmd_enqueue(quorvane_worker *w, quorvane_wcmd *c) {
    if (!w->ms || w->cmd_count >= QV_WCMD_QUEUE_MAX) {
        wcmd_free(c);
        return -1;
    }
    c->next = nullptr;
    if (w->cmd_tail) w->cmd_tail->next = c; else w->cmd_head = c;
    w->cmd_tail = c;
    w->cmd_count++;
    return 0;
}

void apply_commands(quorvane_worker *w, quorvane_cs *) {
    while (quorvane_wcmd *c = w->cmd_head) {
        w->cmd_head = c->next;
        w->cmd_count--;
        wcmd_free(c);
    }
    w->cmd_tail = nullptr;
}

void cmd_queue_flush(quorvane_worker *w) { apply_commands(w, nullptr); }

void quorvane_worker_set_notify_hook(quorvane_worker *w, void (*hook)(void *), void *user) {
    if (!w) return;
    pthread_mutex_lock(&w->mu);
    w->hook = hook;
    w->hook_user = user;
    pthread_mutex_unlock(&w->mu);
}
