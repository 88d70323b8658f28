// Progress lines for long runs; silent when standard error is a file or a pipe.

#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

std::string WithThousands(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, 1, ',');
    return digits;
}

std::string Counted(std::uint64_t value, const char* noun) {
    return WithThousands(value) + " " + noun + (value == 1 ? "" : "s");
}

Progress::Progress(std::string action, std::string unit, bool shown)
    : m_action(std::move(action)), m_unit(std::move(unit)), m_enabled(shown && ::isatty(STDERR_FILENO) == 1),
      // The first report waits a moment, so that short runs print nothing.
      m_next(std::chrono::steady_clock::now() + std::chrono::milliseconds(300)) {}

Progress::~Progress() {
    if (m_drawn > 0)
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_drawn), "");
}

void Progress::Draw(std::uint64_t done, std::uint64_t total) {
    m_next = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    std::string line = "tamrixdata-db: " + m_action + ": ";
    if (total > 0)
        line += std::to_string(done * 100 / total) + "% (" + WithThousands(done) + " of " + WithThousands(total) + " " +
                m_unit + ")";
    else
        line += WithThousands(done) + " " + m_unit;
    std::size_t width = line.size();
    if (width < m_drawn)
        line.append(m_drawn - width, ' ');
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    m_drawn = std::max(m_drawn, width);
}
