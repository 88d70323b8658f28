// TSingleCopyLock: an flock on the database file, held for the run of the program.
#include "SingleCopyLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TSingleCopyLock::TSingleCopyLock(const std::string& databasePath) {
    // Non-blocking, so that a FIFO in the database's place cannot hold up the start.
    m_descriptor = open(databasePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (m_descriptor < 0)
        return;
    int rc;
    do
        rc = flock(m_descriptor, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        m_state = TState::Held;
        return;
    }
    // A file system without flock leaves the program as it was without this guard. The descriptor
    // stays open all the same: closing it could drop record locks of this process on the file.
    m_state = errno == EWOULDBLOCK ? TState::HeldElsewhere : TState::NoFile;
}

TSingleCopyLock::~TSingleCopyLock() {
    if (m_descriptor >= 0)
        close(m_descriptor);
}
