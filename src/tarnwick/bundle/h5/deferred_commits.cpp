#include "tarnwick/bundle/h5/deferred_commits.hpp"

namespace tarnwick::bundle::h5::detail {

thread_local int last_settle_error = 0;

DeferredCommits& deferred_commits() {
    static DeferredCommits group;
    return group;
}
}  // namespace tarnwick::bundle::h5::detail
