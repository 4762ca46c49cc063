#include "ThreadState.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "Objects.h"

namespace tarvik::rt {
namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<ThreadState>> threads;
    std::atomic<DWORD> nextId{1};
};

// Never destroyed: detached threads may still end while the process exits.
Registry& TheRegistry() {
    static Registry* r = new Registry;
    return *r;
}

thread_local DWORD t_id = 0;
thread_local ThreadState* t_state = nullptr;

void EndState(void* p);

// Thread-specific data rather than a thread_local object: its destructor also
// runs when a later thread-exit destructor calls into the runtime again and
// brings the state back, and it never touches a destroyed thread_local.
pthread_key_t StateKey() {
    static pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, &EndState);
        return k;
    }();
    return key;
}

// Owns the registry's reference for the thread-specific slot.
struct StateHolder {
    std::shared_ptr<ThreadState> state;
};

void Unregister(const std::shared_ptr<ThreadState>& state) {
    state->End();
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.threads.find(state->Id());
    if (it != r.threads.end() && it->second == state)
        r.threads.erase(it);
}

void EndState(void* p) {
    auto* holder = static_cast<StateHolder*>(p);
    if (t_state == holder->state.get())
        t_state = nullptr;
    Unregister(holder->state);
    delete holder;
}

StateHolder* CurrentHolder() {
    if (t_state)
        return static_cast<StateHolder*>(pthread_getspecific(StateKey()));
    if (t_id == 0)
        t_id = AllocateThreadId();
    auto* holder = new StateHolder{std::make_shared<ThreadState>(t_id)};
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        r.threads[t_id] = holder->state;
    }
    pthread_setspecific(StateKey(), holder);
    t_state = holder->state.get();
    return holder;
}

}  // namespace

ThreadState::ThreadState(DWORD id) : id_(id) {}

ThreadState::~ThreadState() {
    if (int fd = wakeFd_.load(); fd >= 0)
        close(fd);
}

bool ThreadState::HasMessages() {
    std::lock_guard<std::mutex> g(lock_);
    return !queue_.empty();
}

bool ThreadState::Post(const std::shared_ptr<SentMessage>& msg) {
    std::lock_guard<std::mutex> g(lock_);
    if (ended_)
        return false;
    queue_.push_back(msg);
    Wake();
    return true;
}

bool ThreadState::Withdraw(const std::shared_ptr<SentMessage>& msg) {
    std::lock_guard<std::mutex> g(lock_);
    if (msg->state.load() != SentMessage::Queued)
        return false;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (*it == msg) {
            queue_.erase(it);
            break;
        }
    }
    msg->state.store(SentMessage::Cancelled);
    return true;
}

size_t ThreadState::Dispatch() {
    size_t ran = 0;
    for (;;) {
        std::shared_ptr<SentMessage> msg;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (queue_.empty())
                break;
            msg = std::move(queue_.front());
            queue_.pop_front();
            msg->state.store(SentMessage::Running);
        }
        int outcome = SentMessage::Done;
        try {
            msg->fn();
        } catch (...) {
            // The exception cannot travel to the sender's thread; the sender
            // learns that the message did not complete.
            outcome = SentMessage::Failed;
        }
        // Captures (often references into the sender's frame) go before the
        // sender may return.
        msg->fn = nullptr;
        msg->state.store(outcome, std::memory_order_release);
        msg->sender->Wake();
        ++ran;
    }
    return ran;
}

void ThreadState::Wake() {
    wakes_.fetch_add(1, std::memory_order_seq_cst);
    syscall(SYS_futex, &wakes_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    // Either the poller sees the new count before it polls, or this sees it
    // polling: both sides use sequentially consistent operations.
    if (polling_.load(std::memory_order_seq_cst)) {
        int fd = wakeFd_.load(std::memory_order_acquire);
        uint64_t one = 1;
        while (fd >= 0 && write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void ThreadState::SleepUnlessWoken(uint32_t seen, const timespec* timeout) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    // The kernel compares the count with `seen` atomically with going to
    // sleep: a Wake after the caller read it makes this return at once.
    syscall(SYS_futex, &wakes_, FUTEX_WAIT_PRIVATE, seen, timeout, nullptr, 0);
}

int ThreadState::PollFd() {
    int fd = wakeFd_.load(std::memory_order_acquire);
    if (fd < 0) {
        fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0)
            wakeFd_.store(fd, std::memory_order_release);
    }
    return fd;
}

bool ThreadState::BeginPoll(uint32_t seen) {
    polling_.store(true, std::memory_order_seq_cst);
    if (wakes_.load(std::memory_order_seq_cst) == seen)
        return true;
    polling_.store(false, std::memory_order_relaxed);
    return false;
}

void ThreadState::EndPoll(bool drain) {
    polling_.store(false, std::memory_order_relaxed);
    if (!drain)
        return;
    uint64_t value;
    while (read(wakeFd_.load(std::memory_order_relaxed), &value, sizeof value) < 0 &&
           errno == EINTR) {
    }
}

void ThreadState::AddOwned(const std::shared_ptr<MutexObject>& m) {
    owned_.push_back(m);
}

void ThreadState::RemoveOwned(const MutexObject* m) {
    for (size_t i = 0; i < owned_.size(); ++i) {
        auto held = owned_[i].lock();
        if (!held || held.get() == m) {
            owned_[i] = owned_.back();
            owned_.pop_back();
            --i;
        }
    }
}

void ThreadState::End() {
    std::deque<std::shared_ptr<SentMessage>> orphans;
    {
        std::lock_guard<std::mutex> g(lock_);
        ended_ = true;
        orphans.swap(queue_);
    }
    for (auto& msg : orphans) {
        msg->fn = nullptr;
        msg->state.store(SentMessage::Failed, std::memory_order_release);
        msg->sender->Wake();
    }
    auto owned = std::move(owned_);
    owned_.clear();
    for (auto& weak : owned) {
        if (auto m = weak.lock())
            m->Abandon(id_);
    }
}

ThreadState& CurrentThread() {
    return *CurrentHolder()->state;
}

std::shared_ptr<ThreadState> CurrentThreadShared() {
    return CurrentHolder()->state;
}

std::shared_ptr<ThreadState> FindThread(DWORD id) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.threads.find(id);
    return it == r.threads.end() ? nullptr : it->second;
}

void AdoptThreadId(DWORD id) {
    t_id = id;
}

DWORD AllocateThreadId() {
    // Ids come from a counter rather than gettid(): they are never reused
    // while the process runs (short of 2^32 threads), so a message sent to a
    // thread that ended can never reach a newer thread that got its number.
    DWORD id;
    do {
        id = TheRegistry().nextId.fetch_add(1);
    } while (id == 0);
    return id;
}

void EndCurrentThread() {
    if (!t_state)
        return;
    auto* holder = static_cast<StateHolder*>(pthread_getspecific(StateKey()));
    pthread_setspecific(StateKey(), nullptr);
    t_state = nullptr;
    if (holder) {
        Unregister(holder->state);
        delete holder;
    }
}

}  // namespace tarvik::rt

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD GetCurrentThreadId() {
    // Creating the state here registers the thread's message queue, so a
    // host thread that publishes its id can be sent messages at once.
    return tarvik::rt::CurrentThread().Id();
}
