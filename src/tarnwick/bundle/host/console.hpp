#pragma once
// The console: messages are whole lines on standard output, questions are answered with one
// line from standard input. Both can be redirected (the Python module sends them to the
// interpreter's sys.stdout / sys.stdin; tests capture them).
#include <functional>
#include <optional>
#include <string>

namespace tarnwick::bundle::host {

// Prints `text` followed by a line break, and flushes: workers print too, and lines must not
// be lost or doubled when a process ends.
void print_line(const std::string& text);
// Prints `text` without a line break (a prompt).
void print(const std::string& text);
// One line without its line break; nullopt at the end of input.
std::optional<std::string> read_line();

struct ConsoleHooks {
    std::function<void(const std::string&)> write;  // receives text exactly as printed
    std::function<std::optional<std::string>()> read_line;
};
// Installs hooks (empty members keep the standard streams); returns the previous ones.
ConsoleHooks set_console(ConsoleHooks hooks);

}  // namespace tarnwick::bundle::host
