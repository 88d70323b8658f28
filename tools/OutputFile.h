#pragma once

#include "TemporarySibling.h"

#include <optional>
#include <string>

// Where an export goes: standard output, a pipe or device named by its path, or a new file that
// appears under its name only when it is complete (built as a TemporarySibling, synced, then
// renamed into place). Text is gathered in
// Buffer() and written out in large pieces; every failed write raises std::runtime_error.
class OutputFile {
public:
    // path "-" is standard output. An existing file is refused with FileExistsError unless
    // overwrite is true; nothing is created before Finish succeeds.
    OutputFile(const std::string& path, bool overwrite);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::string& Buffer() { return m_buffer; }
    // Writes the buffer out once it has grown large; call it between pieces of text.
    void FlushIfFull() {
        if (m_buffer.size() >= FlushSize)
            Flush();
    }
    // Writes the rest, then syncs, closes and moves the file into place.
    void Finish();

private:
    static constexpr std::size_t FlushSize = 1 << 20;
    void Flush();

    std::string m_name;
    std::string m_buffer;
    bool m_overwrite;
    int m_fd = -1;
    bool m_ownsDescriptor = false;
    std::optional<TemporarySibling> m_temporary;
};
