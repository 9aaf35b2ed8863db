#include "shared/base/core_thread.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class Worker : public CoreThreadHandle {
public:
    ~Worker() override
    {
        m_stop = 1;
        WaitThread();
    }
    void Run(int arg) override
    {
        m_arg = arg;
        while (!m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_ran = true;
    }
    int m_arg = -1;
    std::atomic<bool> m_ran{false};
};

}  // namespace

TEST(CoreThreadHandle, RunsUntilStopAndJoins)
{
    Worker w;
    EXPECT_FALSE(w.WaitThread(std::chrono::milliseconds(0)));  // not started
    ASSERT_TRUE(w.StartThread());
    EXPECT_FALSE(w.StartThread());                              // one thread per owner
    EXPECT_FALSE(w.WaitThread(std::chrono::milliseconds(20)));  // still running: bounded wait gives up
    w.m_stop = 1;
    EXPECT_TRUE(w.WaitThread(std::chrono::milliseconds(2000)));
    EXPECT_TRUE(w.m_ran);
    EXPECT_EQ(w.m_arg, 0);
    EXPECT_TRUE(w.WaitThread());  // already joined
}

TEST(CoreThreadHandle, TwoWaitersBothSeeTheEnd)
{
    Worker w;
    ASSERT_TRUE(w.StartThread());
    EXPECT_TRUE(w.ThreadRunning());
    std::atomic<int> finished{0};
    std::thread a([&] { finished += w.WaitThread() ? 1 : 0; });
    std::thread b([&] { finished += w.WaitThread(std::chrono::milliseconds(5000)) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    w.m_stop = 1;
    a.join();
    b.join();
    EXPECT_EQ(finished, 2);
    EXPECT_FALSE(w.ThreadRunning());
}
