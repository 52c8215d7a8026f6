#include "tarnwick/bundle/host/console.hpp"

#include <iostream>
#include <utility>

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

void print_line(const std::string& text) { print(text + "\n"); }

std::optional<std::string> read_line() {
    if (hooks().read_line) return hooks().read_line();
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
}

ConsoleHooks set_console(ConsoleHooks new_hooks) { return std::exchange(hooks(), std::move(new_hooks)); }

}  // namespace tarnwick::bundle::host
