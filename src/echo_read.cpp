#include "echo_read.h"

#include <cerrno>
#include <cstring>
#include <linux/can.h>
#include <sys/socket.h>

// Twice what one look of the confirmation finds: a look then takes one call.
static const unsigned int echoBatch = 64;

struct EchoBatch {
    mmsghdr headers[echoBatch];
    iovec pieces[echoBatch];
    canfd_frame frames[echoBatch];
    alignas(cmsghdr) char controls[echoBatch][CMSG_SPACE(sizeof(uint32_t))];
};

static EchoBatch batch;

static void prepareBatch() {
    for (unsigned int i = 0; i < echoBatch; i++) {
        batch.pieces[i] = {&batch.frames[i], sizeof(batch.frames[i])};
        memset(&batch.headers[i], 0, sizeof(batch.headers[i]));
        batch.headers[i].msg_hdr.msg_iov = &batch.pieces[i];
        batch.headers[i].msg_hdr.msg_iovlen = 1;
        batch.headers[i].msg_hdr.msg_control = batch.controls[i];
        batch.headers[i].msg_hdr.msg_controllen = sizeof(batch.controls[i]);
    }
}

// The drop count that comes with a record: the socket's total so far.
static void noteDrops(msghdr *message, EchoCount *count) {
    for (cmsghdr *item = CMSG_FIRSTHDR(message); item != nullptr;
         item = CMSG_NXTHDR(message, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL &&
            item->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            uint32_t drops;
            memcpy(&drops, CMSG_DATA(item), sizeof(drops));
            if (drops > count->dropped) {
                count->dropped = drops;
            }
        }
    }
}

int readEchoes(int socket, EchoCount *count) {
    int failure = 0;
    for (;;) {
        prepareBatch();
        int received = recvmmsg(socket, batch.headers, echoBatch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK || failure != 0) {
                return failure;
            }
            failure = errno;
            continue;
        }
        for (int i = 0; i < received; i++) {
            // Only the socket's own frames come marked: another node's frame with the same
            // identifier proves nothing.
            if ((batch.headers[i].msg_hdr.msg_flags & MSG_CONFIRM) != 0) {
                count->echoes++;
            }
            noteDrops(&batch.headers[i].msg_hdr, count);
        }
        if (received < static_cast<int>(echoBatch)) {
            return failure;
        }
    }
}
