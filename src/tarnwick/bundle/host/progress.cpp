#include "tarnwick/bundle/host/progress.hpp"

#include <chrono>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace tarnwick::bundle::host {
namespace {
bool progress_display = true;
}  // namespace

void show_progress(bool shown) { progress_display = shown; }

bool progress_shown() { return progress_display; }

bool progress_shares_terminal_with_stdout() {
    static const bool shared = [] {
        struct stat out {
        }, err{};
        return ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1 && ::fstat(STDOUT_FILENO, &out) == 0 &&
               ::fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
    }();
    return progress_display && shared;
}

namespace {
// m:ss, or h:mm:ss from an hour on.
std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
    return fmt::format("{}:{:02}", s / 60, s % 60);
}
}  // namespace

Progress::Progress(std::string description, std::size_t total)
    : description_(std::move(description)),
      total_(total),
      terminal_(::isatty(STDERR_FILENO) == 1),
      started_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { finish(); }

void Progress::set_total(std::size_t total) { total_ = total; }

void Progress::step() {
    ++done_;
    show();
}

void Progress::finish() {
    if (finished_) return;
    finished_ = true;
    // A run that stopped early ends its log with how far it got, not with the last tenth.
    if (!terminal_ && progress_display && total_ > 0 && done_ > 0 && done_ != last_printed_) print_line_now();
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
        std::cerr << fmt::format("\r{}[{}{}] {}/{} {:3}%{}\x1b[K", prefix, std::string(filled, '#'),
                                 std::string(width - filled, '.'), done, total_, percent, timing(done));
        std::cerr.flush();
        shown_ = true;
        return;
    }
    const std::size_t tenth = done * 10 / total_;
    if (tenth <= last_tenth_) return;
    last_tenth_ = tenth;
    print_line_now();
}

void Progress::print_line_now() {
    const std::size_t done = std::min(done_, total_);
    const std::string prefix = description_.empty() ? std::string() : description_ + " ";
    std::cerr << fmt::format("{}{}/{} ({}%)\n", prefix, done, total_, done * 100 / total_);
    last_printed_ = done_;
    shown_ = true;
}

// Elapsed time, and once a second has passed the rate and the time left at that rate.
std::string Progress::timing(std::size_t done) const {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string text = " " + clock_text(elapsed);
    if (elapsed < 1 || done == 0) return text;
    const double rate = static_cast<double>(done) / elapsed;
    text += rate >= 10 ? fmt::format(" {:.0f}/s", rate) : fmt::format(" {:.2f}/s", rate);
    if (done < total_) text += " ETA " + clock_text(static_cast<double>(total_ - done) / rate);
    return text;
}

}  // namespace tarnwick::bundle::host
