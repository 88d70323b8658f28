#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A one-line progress report on standard error ("exporting: 45% (45,000 of 100,000 records)"),
// redrawn at most ten times a second and only when standard error is a terminal; the line is
// cleared again when the object goes. A caller can also turn it off (shown false).
class Progress {
public:
    Progress(std::string action, std::string unit, bool shown = true);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Show(std::uint64_t done, std::uint64_t total) {
        if (m_enabled && std::chrono::steady_clock::now() >= m_next)
            Draw(done, total);
    }

    bool Enabled() const { return m_enabled; }

private:
    void Draw(std::uint64_t done, std::uint64_t total);

    std::string m_action;
    std::string m_unit;
    bool m_enabled;
    std::size_t m_drawn = 0;
    std::chrono::steady_clock::time_point m_next;
};

// 1234567 as "1,234,567".
std::string WithThousands(std::uint64_t value);
// "1 record", "1,234 records".
std::string Counted(std::uint64_t value, const char* noun);
