// Temporary files beside their targets, and their removal when the process is interrupted.
//
// The signal handler may only use async-signal-safe calls, so each live temporary file has a slot
// of fixed size holding its path as a C string; slots are filled and emptied with the three
// signals blocked, and the handler builds the companions' names on its own stack.

#include "TemporarySibling.h"

#include "DatabaseFailure.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> CleanupSignals = {SIGINT, SIGTERM, SIGHUP};
constexpr const char* CompanionSuffixes[] = {"-journal", "-wal", "-shm"};
constexpr std::size_t SlotSize = 4096;

struct Slot {
    volatile std::sig_atomic_t used = 0;
    char path[SlotSize] = {};
};
std::array<Slot, 4> Slots;

void RemoveSlotFiles(const char* path) {
    ::unlink(path);
    char name[SlotSize + 16];
    std::size_t length = 0;
    while (path[length] != '\0') {
        name[length] = path[length];
        ++length;
    }
    for (const char* suffix : CompanionSuffixes) {
        std::size_t end = length;
        for (const char* c = suffix; *c != '\0'; ++c)
            name[end++] = *c;
        name[end] = '\0';
        ::unlink(name);
    }
}

extern "C" void RemoveTemporariesAndResignal(int signal) {
    int savedErrno = errno;
    for (Slot& slot : Slots) {
        if (slot.used)
            RemoveSlotFiles(slot.path);
    }
    // The handler was installed with SA_RESETHAND: the raised signal, delivered when the handler
    // returns, ends the process with the signal's own status.
    ::raise(signal);
    errno = savedErrno;
}

void InstallHandlersOnce() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int signal : CleanupSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue; // ignored (nohup) or the host program's own: left alone
        struct sigaction action {};
        action.sa_handler = RemoveTemporariesAndResignal;
        sigemptyset(&action.sa_mask);
        for (int other : CleanupSignals)
            sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

// Blocks the cleanup signals while a slot changes.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : CleanupSignals)
            sigaddset(&blocked, signal);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &m_previous);
    }
    ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t m_previous;
};

int TakeSlot(const std::string& path) {
    if (path.size() >= SlotSize)
        return -1;
    SignalsBlocked blocked;
    InstallHandlersOnce();
    for (std::size_t i = 0; i < Slots.size(); ++i) {
        if (!Slots[i].used) {
            std::memcpy(Slots[i].path, path.c_str(), path.size() + 1);
            Slots[i].used = 1;
            return static_cast<int>(i);
        }
    }
    return -1;
}

void ReleaseSlot(int slot) {
    if (slot < 0)
        return;
    SignalsBlocked blocked;
    Slots[static_cast<std::size_t>(slot)].used = 0;
}

std::string ErrnoText() {
    return std::strerror(errno);
}

void RemoveQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// Makes a rename in path's directory durable; a directory that cannot be synced is no failure.
void SyncDirectoryOf(const std::string& path) {
    std::filesystem::path directory = std::filesystem::path(path).parent_path();
    int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

bool SameFile(const std::string& first, const std::string& second) {
    struct stat a {};
    struct stat b {};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

void RemoveSqliteCompanions(const std::string& path) {
    for (const char* suffix : CompanionSuffixes)
        RemoveQuietly(path + suffix);
}

TemporarySibling::TemporarySibling(const std::string& target) : m_target(target) {
    for (int attempt = 0;; ++attempt) {
        std::string candidate =
            target + ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(attempt);
        // The slot is taken first, so that no moment exists in which the file is there unguarded.
        m_slot = TakeSlot(candidate);
        if (m_slot < 0)
            throw std::runtime_error("cannot create a file beside " + target + ": too many temporary files");
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            m_path = std::move(candidate);
            return;
        }
        int error = errno;
        ReleaseSlot(m_slot);
        m_slot = -1;
        if (error != EEXIST || attempt >= 100)
            throw std::runtime_error("cannot create " + target + ": " + DescribeFileFailure(error, target));
    }
}

TemporarySibling::~TemporarySibling() {
    if (m_slot < 0)
        return;
    RemoveQuietly(m_path);
    RemoveSqliteCompanions(m_path);
    ReleaseSlot(m_slot);
}

void TemporarySibling::MoveIntoPlace(bool overwrite) {
    auto moved = [this] {
        SyncDirectoryOf(m_target);
        ReleaseSlot(m_slot);
        m_slot = -1;
    };
    if (!overwrite) {
        if (PathExists(m_target))
            throw FileExistsError(m_target + " already exists");
        RemoveSqliteCompanions(m_target);
        // Refuse atomically where the file system can, so a file created meanwhile is never replaced.
        if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, m_target.c_str(), RENAME_NOREPLACE) == 0)
            return moved();
        if (errno == EEXIST)
            throw FileExistsError(m_target + " already exists");
        if (errno != EINVAL && errno != ENOSYS)
            throw std::runtime_error("cannot create " + m_target + ": " + ErrnoText());
    } else {
        RemoveSqliteCompanions(m_target);
    }
    if (std::rename(m_path.c_str(), m_target.c_str()) != 0)
        throw std::runtime_error("cannot create " + m_target + ": " + ErrnoText());
    moved();
}
