// The C library's own versions of the calls this library stands in front of.
#pragma once

#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

struct libc_calls {
    int (*socket)(int, int, int);
    int (*bind)(int, const sockaddr *, socklen_t);
    int (*setsockopt)(int, int, int, const void *, socklen_t);
    ssize_t (*recvfrom)(int, void *, size_t, int, sockaddr *, socklen_t *);
    int (*close)(int);
    unsigned (*if_nametoindex)(const char *);
    int (*getsockopt)(int, int, int, void *, socklen_t *);
};

const libc_calls &libc();
