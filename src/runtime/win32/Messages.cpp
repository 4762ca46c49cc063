// Work sent to a thread: SendThreadMessage on Windows. The target thread's
// message-only window carries a word naming the work (never a pointer: a
// message that was taken back may still arrive), and the sender waits for
// the work's end, the thread's end or its time-out while it runs the
// messages sent to itself.
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "System.h"
#include "tarvik/sync.h"

namespace sys = tarvik::win32;

namespace {

struct SentWork {
    enum State { Queued, Running, Done, Failed, Cancelled };
    std::function<void()> fn;
    std::atomic<int> state{Queued};
    tarvik::UniqueHandle finished;  // set when Done or Failed
};

// Set when the thread of that id makes its window (a sender may have come
// first).
struct Arrival {
    tarvik::UniqueHandle made{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

struct Shared {
    std::mutex lock;
    // Windows of the threads that pump. An entry outlives its thread (the
    // system destroys the window), and is checked before use: ids are reused.
    std::unordered_map<DWORD, void*> windows;
    std::unordered_map<DWORD, std::weak_ptr<Arrival>> arrivals;
    std::unordered_map<uintptr_t, std::shared_ptr<SentWork>> work;
    uintptr_t nextWord = 1;
};
// Never destroyed: other threads may still send or pump while the process
// ends.
Shared& State() {
    static Shared* shared = new Shared;
    return *shared;
}

// Messages that ran on this thread, for DispatchSentMessages' count.
thread_local size_t t_ran = 0;

// The target's window, or (while it has none) the arrival to wait for.
void* WindowOf(DWORD threadId, std::shared_ptr<Arrival>* arrival) {
    Shared& st = State();
    std::lock_guard lock(st.lock);
    auto it = st.windows.find(threadId);
    if (it != st.windows.end()) {
        if (sys::WindowThread(it->second) == threadId)
            return it->second;
        st.windows.erase(it);
    }
    auto& weak = st.arrivals[threadId];
    *arrival = weak.lock();
    if (!*arrival) {
        *arrival = std::make_shared<Arrival>();
        weak = *arrival;
    }
    return nullptr;
}

uintptr_t Enrol(const std::shared_ptr<SentWork>& work) {
    Shared& st = State();
    std::lock_guard lock(st.lock);
    uintptr_t word = st.nextWord++;
    st.work.emplace(word, work);
    return word;
}

void Forget(uintptr_t word) {
    Shared& st = State();
    std::lock_guard lock(st.lock);
    st.work.erase(word);
}

// Waits for a handle or the time-out, running the messages sent to this
// thread meanwhile (two threads sending to each other do not deadlock).
DWORD WaitServing(DWORD count, const HANDLE* handles, uint64_t deadline, bool forever) {
    for (;;) {
        DWORD left = INFINITE;
        if (!forever) {
            uint64_t now = GetTickCount64();
            left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        DWORD r = sys::MsgWaitForMultipleObjects(count, handles, false, left, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + count)
            return r;
        sys::RunSentMessages();
    }
}

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

}  // namespace

namespace tarvik::win32 {

void ReceiveThreadMessages() {
    thread_local void* known = nullptr;
    void* window = MakeThreadWindow();
    if (!window || window == known)
        return;
    known = window;
    const DWORD self = GetCurrentThreadId();
    Shared& st = State();
    std::lock_guard lock(st.lock);
    st.windows[self] = window;
    auto it = st.arrivals.find(self);
    if (it == st.arrivals.end())
        return;
    if (auto arrival = it->second.lock())
        SetEvent(arrival->made.Get());
    st.arrivals.erase(it);
}

void DeliverThreadMessage(uintptr_t word) {
    std::shared_ptr<SentWork> work;
    {
        Shared& st = State();
        std::lock_guard lock(st.lock);
        auto it = st.work.find(word);
        if (it == st.work.end())
            return;
        work = it->second;
    }
    int queued = SentWork::Queued;
    if (!work->state.compare_exchange_strong(queued, SentWork::Running))
        return;  // taken back by its sender
    ++t_ran;
    int end = SentWork::Done;
    try {
        work->fn();
    } catch (...) {
        end = SentWork::Failed;
    }
    work->state.store(end);
    SetEvent(work->finished.Get());
}

}  // namespace tarvik::win32

namespace tarvik {

bool SendThreadMessage(DWORD threadId, std::function<void()> fn, DWORD timeoutMs) {
    if (threadId == GetCurrentThreadId()) {
        // Sending to oneself runs the message at once, as SendMessage does.
        try {
            if (fn)
                fn();
        } catch (...) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        return true;
    }
    UniqueHandle thread(sys::OpenThreadToWait(threadId));
    if (!thread)
        return Fail(ERROR_INVALID_PARAMETER);
    // Messages sent back while this thread waits need its window.
    sys::ReceiveThreadMessages();
    auto work = std::make_shared<SentWork>();
    work->fn = std::move(fn);
    work->finished.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!work->finished)
        return false;  // CreateEventA said what ran out

    const bool forever = timeoutMs == INFINITE;
    const uint64_t deadline = GetTickCount64() + timeoutMs;
    void* window = nullptr;
    while (!window) {
        std::shared_ptr<Arrival> arrival;
        window = WindowOf(threadId, &arrival);
        if (window)
            break;
        if (!arrival->made)
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        // The thread has not pumped yet: its window comes with its first wait.
        const HANDLE wait[] = {arrival->made.Get(), thread.Get()};
        DWORD r = WaitServing(2, wait, deadline, forever);
        if (r == WAIT_TIMEOUT)
            return Fail(ERROR_TIMEOUT);
        if (r != WAIT_OBJECT_0)
            return Fail(ERROR_INVALID_PARAMETER);  // the thread ended
    }

    const uintptr_t word = Enrol(work);
    if (!sys::SendToWindow(window, word)) {
        Forget(word);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const HANDLE wait[] = {work->finished.Get(), thread.Get()};
    bool timedOut = false;
    for (;;) {
        // A message that has started is waited for without limit: its function
        // may use the sender's frame.
        const bool started = work->state.load() != SentWork::Queued;
        DWORD r = WaitServing(2, wait, deadline, forever || started);
        if (r == WAIT_OBJECT_0)
            break;
        int queued = SentWork::Queued;
        if (r == WAIT_OBJECT_0 + 1) {
            // The thread ended: a message it never ran never will.
            work->state.compare_exchange_strong(queued, SentWork::Cancelled);
            break;
        }
        if (work->state.compare_exchange_strong(queued, SentWork::Cancelled)) {
            timedOut = r == WAIT_TIMEOUT;
            break;
        }
        // It started meanwhile: see it through.
        if (r != WAIT_TIMEOUT)
            sys::WaitForMultipleObjects(2, wait, false, INFINITE);
    }
    Forget(word);
    if (work->state.load() == SentWork::Done)
        return true;
    return Fail(timedOut ? ERROR_TIMEOUT : ERROR_INVALID_PARAMETER);
}

size_t DispatchSentMessages() {
    sys::ReceiveThreadMessages();
    const size_t before = t_ran;
    const size_t posted = sys::DispatchQueuedMessages();
    return posted + (t_ran - before);
}

}  // namespace tarvik
