#include "record_read.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/uio.h>

bool askForRecordFacts(int socket) {
    int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0 &&
           setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)) == 0;
}

ssize_t readRecord(int socket, void *record, size_t size, RecordFacts *facts) {
    facts->stampNanoseconds = 0;
    facts->dropsKnown = false;
    facts->drops = 0;
    iovec piece = {record, size};
    // Room for a timespec and a drop count, aligned as cmsg headers need.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t nbytes;
    do {
        nbytes = recvmsg(socket, &message, MSG_DONTWAIT);
    } while (nbytes < 0 && errno == EINTR);
    if (nbytes < 0) {
        return nbytes;
    }
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (item->cmsg_type == SO_TIMESTAMPNS && item->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            memcpy(&stamp, CMSG_DATA(item), sizeof(stamp));
            facts->stampNanoseconds =
                static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
        } else if (item->cmsg_type == SO_RXQ_OVFL && item->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            memcpy(&facts->drops, CMSG_DATA(item), sizeof(facts->drops));
            facts->dropsKnown = true;
        }
    }
    return nbytes;
}
