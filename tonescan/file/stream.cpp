#include "stream.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "sources.h"

namespace tonescan {

void PipeFeeder::Run() {
    // A write after the reader has gone must fail here, not end the process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    if (WriteAll(head_.data(), head_.size())) {
        std::vector<unsigned char> buffer(std::size_t{1} << 16);
        for (;;) {
            pollfd fds[2] = {{input_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                error_ = "cannot wait for input: " + ErrnoText();
                break;
            }
            if (fds[1].revents != 0) break;
            const ssize_t got = read(input_, buffer.data(), buffer.size());
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got < 0) {
                error_ = "read error: " + ErrnoText();
                break;
            }
            if (got == 0 || !WriteAll(buffer.data(), static_cast<std::size_t>(got))) break;
        }
    }
    // The reader sees the end of the stream.
    close(write_end_);
    write_end_ = -1;
}


}
