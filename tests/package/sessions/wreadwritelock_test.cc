// The session lock with fast readers: the two writer levels against a reader
// inside, re-entrance, and mutual exclusion under load.
#include <gtest/gtest.h>

#include <host/glue.hh>

#include <atomic>
#include <chrono>
#include <thread>

#include "sessions/wreadwritelock.hh"

namespace {

void wait_for(const std::atomic<bool>& flag) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

}  // namespace

TEST(WReadWriteLock, WriterLevelsAgainstAFastReader) {
    WReadWriteLock lock(2, WReadWriteLock::FAST_READERS);
    std::atomic<bool> inside{false}, leave{false}, wrote{false};
    std::thread reader([&] {
        click_set_current_thread_id(0);  // only router threads read fast
        WReadLock r(lock);
        {
            WReadLock again(lock);  // nests
        }
        inside = true;
        wait_for(leave);
        click_set_current_thread_id(-1);
    });
    wait_for(inside);
    ASSERT_TRUE(inside.load());
    {
        // Publishing writers do not wait for readers...
        WInsertLock w(lock);
    }
    // ...writers that move entries do.
    std::thread writer([&] {
        WWriteLock w(lock);
        wrote = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(wrote.load());
    leave = true;
    reader.join();
    writer.join();
    EXPECT_TRUE(wrote.load());

    // The exclusive holder may read (a listener looking a session up).
    WWriteLock w(lock);
    WReadLock r(lock);
}

TEST(WReadWriteLock, ReadersNeverSeeAHalfDoneWrite) {
    WReadWriteLock lock(2, WReadWriteLock::FAST_READERS);
    int a = 0, b = 0;  // changed together under the exclusive side
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto read = [&](int id) {
        click_set_current_thread_id(id);
        for (int i = 0; !done.load() && i < 5000000; ++i) {
            WReadLock r(lock);
            if (a != b)
                torn.fetch_add(1);
        }
        click_set_current_thread_id(-1);
    };
    std::thread r0(read, 0), r1(read, 1);
    for (int i = 0; i < 2000; ++i) {
        WWriteLock w(lock);
        ++a;
        ++b;
    }
    done = true;
    r0.join();
    r1.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(a, 2000);
}
