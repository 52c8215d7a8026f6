#pragma once
// How the checks sort a file whose examination failed, and the lists they hand to the report.
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tarnwick/bundle/checks/isolated.hpp"

namespace tarnwick::bundle::checks {

struct CheckLists {
    std::vector<std::string> error_file_path_list;          // abnormal content or unreadable
    std::vector<std::string> blocking_or_permission_error;  // held by another process, or forbidden

    void add(const std::string& path, Verdict verdict);
};

// Files held by another process and forbidden files are blocked; every other storage error,
// and any damage the file's content shows (a missing member or field, an impossible line
// number), makes the file abnormal: a check must not stop at the damage it exists to find.
// The service's refusal of data is not about the file and is rethrown.
Verdict verdict_of_failure(std::exception_ptr error);

// Examines every file in `workers` child processes (0: one per processor; see isolated.hpp)
// with a progress display, sorting each by its verdict in file order; an error `examine`
// raises for a file becomes that file's verdict.
CheckLists examine_each(const std::vector<std::filesystem::path>& files,
                        const std::function<Verdict(const std::filesystem::path&)>& examine, unsigned workers = 0);

// Prints a line for every rejected journal (h5/journal.hpp) beside any of `files`.
void list_rejected_journals(const std::vector<std::filesystem::path>& files);

}  // namespace tarnwick::bundle::checks
