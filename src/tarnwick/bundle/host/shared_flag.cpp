#include "tarnwick/bundle/host/shared_flag.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sys/mman.h>

namespace tarnwick::bundle::host {

struct SharedFlag::Shared {
    pthread_mutex_t lock;
    bool value;
};

namespace {

class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t* mutex) : mutex_(mutex) {
        // A worker killed while holding the lock leaves it "owner died": take it over, the
        // one byte it guards is always in a valid state.
        if (pthread_mutex_lock(mutex_) == EOWNERDEAD) pthread_mutex_consistent(mutex_);
    }
    ~LockGuard() { pthread_mutex_unlock(mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t* mutex_;
};

std::shared_ptr<SharedFlag>& installed() {
    static std::shared_ptr<SharedFlag> flag;
    return flag;
}

}  // namespace

SharedFlag::SharedFlag(bool initial) {
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error(std::string("cannot map shared memory: ") + std::strerror(errno));
    shared_ = new (memory) Shared{};
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&shared_->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    shared_->value = initial;
}

SharedFlag::~SharedFlag() {
    pthread_mutex_destroy(&shared_->lock);
    munmap(shared_, sizeof(Shared));
}

bool SharedFlag::value() const {
    LockGuard guard(&shared_->lock);
    return shared_->value;
}

void SharedFlag::set(bool value) {
    LockGuard guard(&shared_->lock);
    shared_->value = value;
}

void process_init(std::shared_ptr<SharedFlag> flag) { installed() = std::move(flag); }

SharedFlag& sval() {
    auto& flag = installed();
    if (!flag) flag = std::make_shared<SharedFlag>(true);
    return *flag;
}

}  // namespace tarnwick::bundle::host
