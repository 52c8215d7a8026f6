#include "tarnwick/bundle/checks/file_errors.hpp"

#include <set>
#include <system_error>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {

void CheckLists::add(const std::string& path, Verdict verdict) {
    if (verdict == Verdict::Abnormal)
        error_file_path_list.push_back(path);
    else if (verdict == Verdict::Blocked)
        blocking_or_permission_error.push_back(path);
}

Verdict verdict_of_failure(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const OsError& e) {
        if (e.kind() == OsError::Kind::WouldBlock || e.kind() == OsError::Kind::PermissionDenied)
            return Verdict::Blocked;
        return Verdict::Abnormal;
    } catch (const service::PermissionDenied&) {
        throw;
    } catch (const std::exception&) {
        return Verdict::Abnormal;
    }
}

CheckLists examine_each(const std::vector<std::filesystem::path>& files,
                        const std::function<Verdict(const std::filesystem::path&)>& examine, unsigned workers) {
    CheckLists lists;
    host::Progress progress("checking", files.size());
    examine_isolated(
        files.size(),
        [&](std::size_t i) {
            try {
                // An update that was killed left its undo journal: the file is first put back
                // as it was before that update, rather than judged by half-done writes (and
                // perhaps offered for deletion). Held by a live update, it is blocked; so is a
                // file whose journal cannot be settled here (a read-only disk, no permission
                // to write), with the cause in the log: it is not damaged, only unfinished.
                // Readers are let in while an update runs, the check too; but a file held for
                // writing is listed as blocked, not judged by its last commit.
                if (h5::held_for_writing(files[i].string())) return Verdict::Blocked;
                try {
                    h5::recover_interrupted_update(files[i].string());
                } catch (const OsError& e) {
                    if (e.kind() != OsError::Kind::WouldBlock)
                        host::system_log().warning(e.what() +
                                                   std::string("; the next update that can write here finishes it"));
                    return Verdict::Blocked;
                }
                return examine(files[i]);
            } catch (...) {
                return verdict_of_failure(std::current_exception());
            }
        },
        [&](std::size_t i, Verdict verdict) {
            lists.add(files[i].string(), verdict);
            progress.step();
        },
        workers);
    progress.finish();
    list_rejected_journals(files);
    return lists;
}

void list_rejected_journals(const std::vector<std::filesystem::path>& files) {
    std::set<std::filesystem::path> folders;
    for (const auto& file : files) folders.insert(file.parent_path());
    std::set<std::string> found;
    const std::string marker = h5::journal_path(".h5") + h5::REJECTED_INFIX;
    for (const auto& folder : folders) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (entry.path().filename().string().find(marker) != std::string::npos) found.insert(entry.path().string());
    }
    // Until the user removes them: each is what is left of a file's state that was not applied.
    for (const auto& journal : found)
        host::print_line("rejected undo journal, not applied (see the README, then remove it): " + journal);
}

}  // namespace tarnwick::bundle::checks
