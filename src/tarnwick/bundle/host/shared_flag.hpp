#pragma once
// The shared success flag: one byte in memory shared by a driver and its forked workers, with
// its own process-shared lock. Tasks only ever set it to false; the driver reads it at the end.
//
// `process_init(flag)` is the pool's worker initializer: it installs the flag as this process's
// `sval`. A task run outside any pool (a direct call) gets a process-local flag instead.
#include <memory>

namespace tarnwick::bundle::host {

class SharedFlag {
public:
    explicit SharedFlag(bool initial = true);
    ~SharedFlag();
    SharedFlag(const SharedFlag&) = delete;
    SharedFlag& operator=(const SharedFlag&) = delete;

    bool value() const;
    void set(bool value);

private:
    struct Shared;
    Shared* shared_;  // an anonymous shared mapping, inherited by fork()
};

void process_init(std::shared_ptr<SharedFlag> flag);
SharedFlag& sval();

}  // namespace tarnwick::bundle::host
