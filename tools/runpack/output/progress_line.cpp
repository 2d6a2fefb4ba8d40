#include "runpack/output/progress_line.h"

#include <stdio.h>

namespace {

std::atomic<bool> terminalSeen{false};

// A second before the first line, a quarter of one between lines.
const double FIRST_DRAW_SECONDS = 1.0;
const double REDRAW_SECONDS = 0.25;

std::string mebibytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>((bytes + (1u << 19)) >> 20));
    return text;
}

}  // namespace

void setProgressTerminal(bool terminal) { terminalSeen = terminal; }
bool progressTerminal() { return terminalSeen; }

std::string progressText(const std::string& label, uint64_t done, uint64_t total, double seconds) {
    std::string text = label + ": " + mebibytes(done) + " of " + mebibytes(total);
    if (seconds <= 0 || done == 0) return text;
    const double rate = done / seconds;
    char tail[64];
    const double left = done < total ? (total - done) / rate : 0;
    snprintf(tail, sizeof tail, ", %.0f MiB/s, %.0f s left", rate / (1 << 20), left + 0.5 > 1 ? left + 0.5 : 1.0);
    return text + tail;
}

ProgressLine::ProgressLine(std::ostream& stream, bool enabled, std::string label, uint64_t total)
    : stream_(stream), enabled_(enabled && progressTerminal()), label_(std::move(label)), total_(total),
      start_(Clock::now()), lastDrawn_(start_) {}

void ProgressLine::add(uint64_t bytes) {
    const uint64_t done = done_ += bytes;
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds < FIRST_DRAW_SECONDS || std::chrono::duration<double>(now - lastDrawn_).count() < REDRAW_SECONDS)
        return;
    std::unique_lock<std::mutex> lock(drawing_, std::try_to_lock);
    if (!lock.owns_lock() || !enabled_) return;
    lastDrawn_ = now;
    std::string text = progressText(label_, done, total_, seconds);
    const size_t width = text.size();
    if (width < drawnWidth_) text.append(drawnWidth_ - width, ' ');
    drawnWidth_ = width;
    stream_ << '\r' << text << std::flush;
}

void ProgressLine::finish() {
    std::lock_guard<std::mutex> lock(drawing_);
    if (enabled_ && drawnWidth_ > 0) stream_ << '\r' << std::string(drawnWidth_, ' ') << '\r' << std::flush;
    enabled_ = false;
    drawnWidth_ = 0;
}
