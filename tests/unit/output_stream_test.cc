#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "output/output_stream.h"

namespace
{

// Opens path for writing, or -1 where the machine has no such device.
int open_for_writing(const char *path)
{
    return open(path, O_WRONLY | O_CLOEXEC);
}

} // namespace

// Only a descriptor whose writes never wait lets the writers skip holding the stop signals.
TEST(OutputStream, WritesMayWaitOnAllButRegularFilesAndTheNullDevice)
{
    FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(writes_may_wait(fileno(file)));
    std::fclose(file);

    int null_device = open_for_writing("/dev/null");
    ASSERT_GE(null_device, 0);
    EXPECT_FALSE(writes_may_wait(null_device));
    close(null_device);

    // Another character device is not the null device, though it never waits either.
    int full_device = open_for_writing("/dev/full");
    if (full_device >= 0) {
        EXPECT_TRUE(writes_may_wait(full_device));
        close(full_device);
    }

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_TRUE(writes_may_wait(ends[1]));
    close(ends[0]);
    close(ends[1]);

    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    EXPECT_TRUE(writes_may_wait(ends[0]));
    close(ends[0]);
    close(ends[1]);

    // A descriptor that cannot be told is taken to wait.
    int closed = open_for_writing("/dev/null");
    ASSERT_GE(closed, 0);
    close(closed);
    EXPECT_TRUE(writes_may_wait(closed));
}
