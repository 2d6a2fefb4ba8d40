// One updating line for a long command: done and total bytes, rate and time left. It is drawn
// only where the tool's main has said that standard error is a terminal, only after the first
// second (short runs stay silent), at most a few times a second, and it is cleared at the end,
// so that what the command then prints stands alone.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

// Whether progress lines may be drawn at all: main sets it when standard error is a terminal.
// Off by default, so the commands called from tests or other programs print none.
void setProgressTerminal(bool terminal);
bool progressTerminal();

// The line's text for `done` of `total` bytes after `seconds`: "runpack verify: 312 MiB of
// 1024 MiB, 410 MiB/s, 2 s left". The rate and the time left are left out until there is a
// rate to tell.
std::string progressText(const std::string& label, uint64_t done, uint64_t total, double seconds);

class ProgressLine {
public:
    // Draws on `stream` only when `enabled` (and progressTerminal()).
    ProgressLine(std::ostream& stream, bool enabled, std::string label, uint64_t total);
    ~ProgressLine() { finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // `bytes` more are done; any thread may call it.
    void add(uint64_t bytes);
    // Clears the line when one was drawn; later calls to add draw nothing.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    std::ostream& stream_;
    std::atomic<bool> enabled_;
    std::string label_;
    uint64_t total_;
    std::atomic<uint64_t> done_{0};
    Clock::time_point start_;
    Clock::time_point lastDrawn_;
    size_t drawnWidth_ = 0;
    std::mutex drawing_;
};
