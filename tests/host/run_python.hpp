#pragma once
// Runs one of the scripts in tests/python with Debian's /usr/bin/python3 and returns what it
// printed. The scripts load files the way the host's Python code does (numpy, h5py, pickle).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tarnwick::bundle::test {

struct PythonResult {
    int exit_status = -1;
    std::string output;  // standard output and standard error together
};

inline std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline PythonResult run_python_script(const std::string& script, const std::vector<std::string>& args) {
    std::string command =
        std::string(TARNWICK_PYTHON) + " " + shell_quote(std::string(TARNWICK_TESTS_DIR) + "/python/" + script);
    for (const auto& a : args) command += " " + shell_quote(a);
    command += " 2>&1";
    PythonResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace tarnwick::bundle::test
