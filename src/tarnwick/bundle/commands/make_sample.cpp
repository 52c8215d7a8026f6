#include "tarnwick/bundle/commands/make_sample.hpp"

#include <cstdlib>
#include <filesystem>

#include "tarnwick/bundle/commands/archive.hpp"
#include "tarnwick/bundle/commands/updates.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/layout/output_guard.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;

// A scratch folder next to the archive (same file system), removed on every way out.
class ScratchDir {
public:
    explicit ScratchDir(const fs::path& near) {
        std::string pattern = (near / ".tarnwick-sample-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw OsError::from_errno(errno, "cannot create a folder in " + near.string());
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

bool make_sample_archive(const std::string& out_path, int concurrency) {
    layout::refuse_bundle_file_as_output(out_path);
    const fs::path out = fs::absolute(out_path);
    ScratchDir scratch(out.parent_path());
    const bool ok = update_bundle_from_tickwirec(
        concurrency, scratch.path().string(), true,
        {"000001.XSHE", "600519.XSHG", "510300.XSHG", "IF2612", "IO2612-C-4000"}, {"000001.XSHE", "IF2612"}, false);
    if (!ok) return false;
    make_archive(layout::bundle_dir(scratch.path().string()), out.string());
    return true;
}

}  // namespace tarnwick::bundle::commands
