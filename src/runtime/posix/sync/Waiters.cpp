#include <algorithm>

#include "Kernel.h"
#include "ThreadState.h"

namespace tarvik::rt {

void KernelObject::AddWaiter(ThreadState* waiter) {
    std::lock_guard<std::mutex> g(waitersLock_);
    waiters_.push_back(waiter);
}

void KernelObject::RemoveWaiter(ThreadState* waiter) {
    std::lock_guard<std::mutex> g(waitersLock_);
    auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
    if (it != waiters_.end()) {
        *it = waiters_.back();
        waiters_.pop_back();
    }
}

void KernelObject::WakeWaiters() {
    // A waiter stays registered until its wait has returned, and its state
    // outlives the wait: the pointers here are always to living threads.
    std::lock_guard<std::mutex> g(waitersLock_);
    for (ThreadState* waiter : waiters_)
        waiter->Wake();
}

}  // namespace tarvik::rt
