#include "tarnwick/bundle/host/progress.hpp"

#include <iostream>

#include <unistd.h>

#include <fmt/format.h>

namespace tarnwick::bundle::host {
namespace {
bool progress_display = true;
}  // namespace

void show_progress(bool shown) { progress_display = shown; }

bool progress_shown() { return progress_display; }

Progress::Progress(std::string description, std::size_t total)
    : description_(std::move(description)), total_(total), terminal_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::set_total(std::size_t total) { total_ = total; }

void Progress::step() {
    ++done_;
    show();
}

void Progress::finish() {
    if (finished_) return;
    finished_ = true;
    if (terminal_ && shown_) {
        std::cerr << '\n';
        std::cerr.flush();
    }
}

void Progress::show() {
    if (total_ == 0 || !progress_display) return;
    const std::size_t done = std::min(done_, total_);
    const std::size_t percent = done * 100 / total_;
    const std::string prefix = description_.empty() ? std::string() : description_ + " ";
    if (terminal_) {
        constexpr std::size_t width = 30;
        const std::size_t filled = done * width / total_;
        std::cerr << fmt::format("\r{}[{}{}] {}/{} {:3}%", prefix, std::string(filled, '#'),
                                 std::string(width - filled, '.'), done, total_, percent);
        std::cerr.flush();
        shown_ = true;
        return;
    }
    const std::size_t tenth = done * 10 / total_;
    if (tenth <= last_tenth_) return;
    last_tenth_ = tenth;
    std::cerr << fmt::format("{}{}/{} ({}%)\n", prefix, done, total_, percent);
    shown_ = true;
}

}  // namespace tarnwick::bundle::host
