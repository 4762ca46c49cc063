#include "ThreadState.h"

#include <pthread.h>
#include <sys/eventfd.h>
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

ThreadState::ThreadState(DWORD id) : id_(id), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ThreadState::~ThreadState() {
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

bool ThreadState::HasMessages() {
    std::lock_guard<std::mutex> g(lock_);
    return !queue_.empty();
}

bool ThreadState::Post(const std::shared_ptr<SentMessage>& msg) {
    std::lock_guard<std::mutex> g(lock_);
    // Without a descriptor the thread could never notice the message.
    if (ended_ || !messages_.Valid())
        return false;
    queue_.push_back(msg);
    messages_.Raise();
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
    if (queue_.empty())
        messages_.Lower();
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
            if (queue_.empty())
                messages_.Lower();
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
    if (wakeFd_ < 0)
        return;
    uint64_t one = 1;
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ThreadState::DrainWake() {
    if (wakeFd_ < 0)
        return;
    uint64_t value;
    while (read(wakeFd_, &value, sizeof value) < 0 && errno == EINTR) {
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
        messages_.Lower();
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
