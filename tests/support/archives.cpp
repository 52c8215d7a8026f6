#include "support/archives.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick::bundle::test {
namespace fs = std::filesystem;
namespace {

const char* const SCRIPT = TARNWICK_TESTS_DIR "/support/craft_archive.py";

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

// Runs Python on the script with `args`; returns its standard output, throws unless it exits 0.
std::string run_python(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv{const_cast<char*>(TARNWICK_PYTHON), const_cast<char*>(SCRIPT)};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(TARNWICK_PYTHON, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("craft_archive.py failed");
    return text;
}

}  // namespace

void write_tar_with_python(const fs::path& out, const std::vector<TarMember>& members, const std::string& mode) {
    const fs::path listing = out.string() + ".members";
    {
        std::ofstream file(listing);
        for (const auto& m : members) file << m.kind << '\t' << hex(m.name) << '\t' << hex(m.data) << '\n';
    }
    run_python({"write", out.string(), mode, listing.string()});
    fs::remove(listing);
}

std::vector<TarMember> list_tar_with_python(const fs::path& archive) {
    std::vector<TarMember> members;
    std::istringstream lines(run_python({"list", archive.string()}));
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find('\t');
        const auto second = line.find('\t', first + 1);
        members.push_back(
            {line.substr(0, first), unhex(line.substr(first + 1, second - first - 1)), unhex(line.substr(second + 1))});
    }
    return members;
}

std::map<std::string, std::string> read_tree(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().lexically_relative(dir).generic_string();
        if (entry.is_symlink())
            tree[name] = "symlink:" + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            tree[name] = "dir";
        else
            tree[name] = "file:" + read_file(entry.path());
    }
    return tree;
}

void write_file(const fs::path& file, const std::string& content) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace tarnwick::bundle::test
