#pragma once
// A progress display on standard error, one step per finished element: a redrawn bar with the
// elapsed time, rate and time left on a terminal, and otherwise a line at every tenth of the
// work, so that a log is not flooded (and one for where a run that stopped early got to).
#include <chrono>
#include <cstddef>
#include <string>

namespace tarnwick::bundle::host {

// Process-wide: false hides every progress display (the command line's --quiet); workers
// inherit the setting. Messages and logs are not affected.
void show_progress(bool shown);
bool progress_shown();
// True when progress is shown and standard output is the terminal the bar is drawn on: a
// message line then clears the bar's line first (the bar is drawn again on its next step).
bool progress_shares_terminal_with_stdout();

class Progress {
public:
    explicit Progress(std::string description, std::size_t total = 0);
    ~Progress();  // ends the bar's line on a terminal
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void set_total(std::size_t total);
    void step();
    void finish();  // idempotent

private:
    void show();
    void print_line_now();
    std::string timing(std::size_t done) const;

    std::string description_;
    std::size_t total_;
    std::size_t done_ = 0;
    std::size_t last_tenth_ = 0;
    std::size_t last_printed_ = 0;
    bool terminal_;
    bool shown_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace tarnwick::bundle::host
