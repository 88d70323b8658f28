// Buffered output of an export, to standard output or to a file written beside its target.

#include "OutputFile.h"

#include "DatabaseFailure.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

OutputFile::OutputFile(const std::string& path, bool overwrite) : m_overwrite(overwrite) {
    m_buffer.reserve(FlushSize + FlushSize / 4);
    if (path == "-") {
        m_name = "standard output";
        m_fd = STDOUT_FILENO;
        return;
    }
    m_name = path;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        // A pipe or a device (/dev/stdout) is written as it is: there is no file to replace.
        m_fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        m_ownsDescriptor = true;
    } else {
        if (!overwrite && PathExists(path))
            throw FileExistsError(path + " already exists");
        m_temporary.emplace(path);
        m_fd = ::open(m_temporary->Path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        m_ownsDescriptor = true;
    }
    if (m_fd < 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

namespace {

std::string WriteFailure(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG ? DescribeFileFailure(error, "") : std::strerror(error);
}

} // namespace

OutputFile::~OutputFile() {
    if (m_ownsDescriptor && m_fd >= 0)
        ::close(m_fd);
}

void OutputFile::Flush() {
    const char* data = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0) {
        ssize_t written = ::write(m_fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw std::runtime_error("cannot write " + m_name + ": " + WriteFailure(written < 0 ? errno : EIO));
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    m_buffer.clear();
}

void OutputFile::Finish() {
    Flush();
    if (!m_ownsDescriptor)
        return;
    int fd = m_fd;
    m_fd = -1;
    if ((m_temporary && ::fsync(fd) != 0) || ::close(fd) != 0)
        throw std::runtime_error("cannot write " + m_name + ": " + WriteFailure(errno));
    if (m_temporary)
        m_temporary->MoveIntoPlace(m_overwrite);
}
