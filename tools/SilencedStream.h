#pragma once

// Sends what is written to a standard stream to /dev/null for the guard's lifetime, at the level of
// its file descriptor, so that output of a library or of a command run inside another one is
// dropped too; what was buffered before is written first, and the stream is restored on
// destruction. Where /dev/null cannot be opened the stream stays as it was.

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

class SilencedStream {
public:
    explicit SilencedStream(std::FILE* stream) : m_stream(stream), m_fd(::fileno(stream)) {
        std::fflush(m_stream);
        m_saved = ::dup(m_fd);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (m_saved >= 0 && null >= 0)
            ::dup2(null, m_fd);
        if (null >= 0)
            ::close(null);
    }
    ~SilencedStream() {
        std::fflush(m_stream);
        if (m_saved >= 0) {
            ::dup2(m_saved, m_fd);
            ::close(m_saved);
        }
    }
    SilencedStream(const SilencedStream&) = delete;
    SilencedStream& operator=(const SilencedStream&) = delete;

private:
    std::FILE* m_stream;
    int m_fd;
    int m_saved = -1;
};
