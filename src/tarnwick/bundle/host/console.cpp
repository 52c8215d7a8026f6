#include "tarnwick/bundle/host/console.hpp"

#include <iostream>
#include <utility>

#include "tarnwick/bundle/host/progress.hpp"

namespace tarnwick::bundle::host {
namespace {
ConsoleHooks& hooks() {
    static ConsoleHooks instance;
    return instance;
}
}  // namespace

void print(const std::string& text) {
    if (hooks().write) {
        hooks().write(text);
        return;
    }
    std::cout << text;
    std::cout.flush();
}

void print_line(const std::string& text) {
    // On the terminal a progress bar is drawn on, the line replaces the bar's unfinished line
    // instead of being appended to it.
    if (!hooks().write && progress_shares_terminal_with_stdout()) {
        print("\r\x1b[K" + text + "\n");
        return;
    }
    print(text + "\n");
}

std::optional<std::string> read_line() {
    if (hooks().read_line) return hooks().read_line();
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
}

ConsoleHooks set_console(ConsoleHooks new_hooks) { return std::exchange(hooks(), std::move(new_hooks)); }

}  // namespace tarnwick::bundle::host
