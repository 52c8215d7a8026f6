#pragma once
// A progress display on standard error, one step per finished element: a redrawn bar on a
// terminal, and otherwise a line at every tenth of the work, so that a log is not flooded.
#include <cstddef>
#include <string>

namespace tarnwick::bundle::host {

// Process-wide: false hides every progress display (the command line's --quiet); workers
// inherit the setting. Messages and logs are not affected.
void show_progress(bool shown);
bool progress_shown();

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

    std::string description_;
    std::size_t total_;
    std::size_t done_ = 0;
    std::size_t last_tenth_ = 0;
    bool terminal_;
    bool shown_ = false;
    bool finished_ = false;
};

}  // namespace tarnwick::bundle::host
