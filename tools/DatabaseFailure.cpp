// The one place where the tool turns an SQLite failure into words. SQLite's result code says
// what kind of failure it was; the file system says whose fault: the file's permissions, its
// folder's (SQLite writes its journal beside the database), or a mount that is read-only.

#include "DatabaseFailure.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool OnReadOnlyFileSystem(const std::string& path) {
    struct statvfs status {};
    return ::statvfs(path.c_str(), &status) == 0 && (status.f_flag & ST_RDONLY) != 0;
}

// Whether the file system holding folder has (next to) no room left for an ordinary user.
bool AlmostFull(const std::string& folder) {
    struct statvfs status {};
    return ::statvfs(folder.c_str(), &status) == 0 &&
           static_cast<unsigned long long>(status.f_bavail) * status.f_frsize < 64 * 1024;
}

// Why nothing can be written at path: the file system, the file, or its folder.
std::string NotWritable(const std::string& path) {
    std::string folder = FolderOf(path);
    if (OnReadOnlyFileSystem(folder))
        return path + " is on a read-only file system";
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0)
        return "the database " + path + " is write-protected";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "the folder " + folder + " is not writable, and the journal that guards every change to " + path +
               " must be created there";
    return path + " cannot be written";
}

} // namespace

std::string DescribeDatabaseFailure(int code, const std::string& path, int systemError) {
    switch (code & 0xFF) {
    case SQLITE_FULL:
        return "the disk is full (" + path + " or its journal cannot grow)";
    case SQLITE_READONLY:
        return NotWritable(path);
    case SQLITE_CANTOPEN:
        if (::access(path.c_str(), F_OK) != 0)
            return path + " does not exist";
        if (::access(path.c_str(), R_OK) != 0)
            return path + " cannot be read (its permissions do not allow it)";
        return NotWritable(path);
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return path + " cannot be used: access denied";
    case SQLITE_NOTADB:
        return path + " is not a database";
    case SQLITE_CORRUPT:
        return path + " is damaged (see tamrixdata-db check)";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return path + " is locked by another program; try again when it has finished";
    case SQLITE_INTERRUPT:
        return "interrupted";
    case SQLITE_NOMEM:
        return "out of memory";
    case SQLITE_IOERR:
        if (code == SQLITE_IOERR_NOMEM)
            return "out of memory";
        if (systemError == ENOSPC || systemError == EDQUOT)
            return "the disk is full (" + path + " or its journal cannot grow)";
        if (systemError == EFBIG)
            return path + " or its journal has reached the largest file size allowed (ulimit -f)";
        if (systemError == EROFS || systemError == EACCES || systemError == EPERM)
            return NotWritable(path);
        // SQLite does not always keep the errno of a failed write; the file system and the limits
        // still tell a full disk or a size limit.
        if (code == SQLITE_IOERR || code == SQLITE_IOERR_WRITE || code == SQLITE_IOERR_FSYNC ||
            code == SQLITE_IOERR_TRUNCATE) {
            if (AlmostFull(FolderOf(path)))
                return "the disk is full (" + path + " or its journal cannot grow)";
            rlimit limit{};
            if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
                return path + " or its journal has reached the largest file size allowed (ulimit -f)";
        }
        return "input/output error on " + path + " or its journal (a failing disk or a lost network mount)";
    default:
        return path + ": " + sqlite3_errstr(code);
    }
}

std::string DescribeFileFailure(int systemError, const std::string& path) {
    std::string folder = FolderOf(path);
    switch (systemError) {
    case ENOSPC:
    case EDQUOT:
        return "the disk is full";
    case EFBIG:
        return "the largest file size allowed is reached (ulimit -f)";
    case EROFS:
        return "the folder " + folder + " is on a read-only file system";
    case EACCES:
    case EPERM:
        return "the folder " + folder + " is not writable";
    case ENOENT:
        if (::access(folder.c_str(), F_OK) != 0)
            return "the folder " + folder + " does not exist";
        return "the folder " + folder + " does not take new files";
    default:
        return std::strerror(systemError);
    }
}

int FailureCode(const std::runtime_error& error, sqlite3* db) {
    static constexpr int Known[] = {SQLITE_FULL,    SQLITE_READONLY, SQLITE_CANTOPEN,  SQLITE_NOTADB,
                                    SQLITE_CORRUPT, SQLITE_BUSY,     SQLITE_LOCKED,    SQLITE_IOERR,
                                    SQLITE_PERM,    SQLITE_AUTH,     SQLITE_INTERRUPT, SQLITE_NOMEM};
    std::string_view text = error.what();
    int current = db ? sqlite3_extended_errcode(db) : SQLITE_OK;
    for (int code : Known) {
        std::string_view message = sqlite3_errstr(code);
        std::size_t at = text.rfind(message);
        if (at != std::string_view::npos && at >= 2 && text.substr(at - 2, 2) == ": ")
            return (current & 0xFF) == code ? current : code; // the extended code when it is still there
    }
    if (current != SQLITE_OK && current != SQLITE_ROW && current != SQLITE_DONE)
        return current;
    return 0;
}

Connection OpenDatabase(const std::string& path, bool readOnly) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw ExplainedError(errno == ENOENT ? path + " does not exist"
                                             : "cannot open " + path + ": " + std::strerror(errno));
    if (S_ISDIR(status.st_mode))
        throw ExplainedError(path + " is a folder, not a database");
    if (::access(path.c_str(), R_OK) != 0)
        throw ExplainedError(path + " cannot be read (its permissions do not allow it)");
    try {
        return OpenExistingDatabase(path, readOnly);
    } catch (const std::runtime_error&) {
        throw ExplainedError("cannot open " + path);
    }
}
