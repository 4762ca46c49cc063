#include <gtest/gtest.h>

#include <thread>

#include "tarvik/sync.h"

namespace {

struct Section {
    CRITICAL_SECTION cs;
    Section() { InitializeCriticalSection(&cs); }
    ~Section() { DeleteCriticalSection(&cs); }
};

BOOL TryFromOtherThread(CRITICAL_SECTION* cs) {
    BOOL got = FALSE;
    std::thread([&] {
        got = TryEnterCriticalSection(cs);
        if (got)
            LeaveCriticalSection(cs);
    }).join();
    return got;
}

TEST(CriticalSection, SameThreadReentersAndOthersWaitForTheLastLeave) {
    Section s;
    EnterCriticalSection(&s.cs);
    {
        tarvik::CriticalSectionLock nested(&s.cs);
        EXPECT_TRUE(TryEnterCriticalSection(&s.cs));
        LeaveCriticalSection(&s.cs);
        EXPECT_FALSE(TryFromOtherThread(&s.cs));
    }
    EXPECT_FALSE(TryFromOtherThread(&s.cs));
    LeaveCriticalSection(&s.cs);
    EXPECT_TRUE(TryFromOtherThread(&s.cs));
}

TEST(CriticalSection, ExcludesOtherThreads) {
    Section s;
    long counter = 0;  // deliberately plain: the section must protect it
    auto work = [&] {
        for (int i = 0; i < 50000; ++i) {
            tarvik::CriticalSectionLock lock(&s.cs);
            long seen = counter;
            counter = seen + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 100000);
}

}  // namespace
