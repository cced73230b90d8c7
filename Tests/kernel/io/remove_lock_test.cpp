// Remove locks: acquisition refused once removal began, release-and-wait blocking until the
// other holders are gone, and the reported misuses.
#include <atomic>
#include <cstring>
#include <thread>

#include "kernel/io/remove_lock.hpp"
#include "test_driver.hpp"

namespace {

constexpr ULONG kTag = 0x76726154; // "Tarv"

class RemoveLockTest : public IoTest {
  protected:
    void SetUp() override
    {
        IoTest::SetUp();
        std::memset(&lock_, 0xE7, sizeof(lock_)); // as found in a fresh device extension
        IoInitializeRemoveLock(&lock_, kTag, 1, 10);
    }

    IO_REMOVE_LOCK lock_;
    int a_ = 0, b_ = 0, c_ = 0; // distinct tags
};

TEST_F(RemoveLockTest, AcquireAndReleaseBalance)
{
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &b_), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::RemoveLockHolders(&lock_), 2u);
    EXPECT_EQ(lock_.IoCount, 3); // the initial bias plus two holders
    IoReleaseRemoveLock(&lock_, &a_);
    IoReleaseRemoveLock(&lock_, &b_);
    EXPECT_EQ(sim::io::RemoveLockHolders(&lock_), 0u);
    EXPECT_EQ(lock_.IoCount, 1);
}

TEST_F(RemoveLockTest, AcquireFailsWithDeletePendingOnceRemovalBegan)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock_, &a_);
    EXPECT_TRUE(sim::io::RemoveLockRemoved(&lock_));
    EXPECT_TRUE(lock_.Removed);
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &b_), STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::io::RemoveLockHolders(&lock_), 0u);
}

TEST_F(RemoveLockTest, ReleaseAndWaitBlocksUntilEveryHolderReleased)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &b_), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &c_), STATUS_SUCCESS); // the remover's own

    std::atomic<bool> waitReturned{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock_, &c_);
        waitReturned = true;
    });
    // Removal has begun: new acquisitions fail while the old holders still hold.
    while (!sim::io::RemoveLockRemoved(&lock_))
        std::this_thread::yield();
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &c_), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(waitReturned);
    IoReleaseRemoveLock(&lock_, &a_);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(waitReturned);
    IoReleaseRemoveLock(&lock_, &b_);
    remover.join();
    EXPECT_TRUE(waitReturned);
}

TEST_F(RemoveLockTest, ManyThreadsRacingARemovalAllEitherGetInOrAreRefused)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &c_), STATUS_SUCCESS);
    std::atomic<int> inside{0}, refused{0}, insideAfterRemoval{0};
    std::atomic<bool> removed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 6; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                int tag = 0;
                if (IoAcquireRemoveLock(&lock_, &tag) != STATUS_SUCCESS) {
                    ++refused;
                    continue;
                }
                ++inside;
                if (removed)
                    ++insideAfterRemoval;
                IoReleaseRemoveLock(&lock_, &tag);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    IoReleaseRemoveLockAndWait(&lock_, &c_);
    removed = true;
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(inside + refused, 6 * 500);
    EXPECT_EQ(insideAfterRemoval.load(), 0) << "nobody may hold the lock after the wait returns";
    EXPECT_EQ(sim::io::RemoveLockHolders(&lock_), 0u);
}

TEST_F(RemoveLockTest, ReleasingATagThatHoldsNothingIsReported)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock_, &b_);
    EXPECT_EQ(TakeFaults("holds no reference"), 1u);
    IoReleaseRemoveLock(&lock_, &a_);
    IoReleaseRemoveLock(&lock_, &a_);
    EXPECT_EQ(TakeFaults("holds no reference"), 1u);
    EXPECT_EQ(lock_.IoCount, 1) << "a bad release does not unbalance the count";
}

TEST_F(RemoveLockTest, ReleaseAndWaitWithoutHoldingOrTwiceIsReported)
{
    IoReleaseRemoveLockAndWait(&lock_, &a_);
    EXPECT_EQ(TakeFaults("does not hold the lock"), 1u);
    IoReleaseRemoveLockAndWait(&lock_, &a_);
    EXPECT_EQ(TakeFaults("called twice"), 1u);
}

TEST_F(RemoveLockTest, UninitialisedLockAndWrongSizeAreReported)
{
    IO_REMOVE_LOCK other;
    std::memset(&other, 0xE7, sizeof(other));
    EXPECT_EQ(IoAcquireRemoveLock(&other, &a_), STATUS_DELETE_PENDING);
    EXPECT_EQ(TakeFaults("never initialised"), 1u);
    IoAcquireRemoveLockEx(&lock_, &a_, "", 1, 8);
    EXPECT_EQ(TakeFaults("is not sizeof(IO_REMOVE_LOCK)"), 1u);
    IoReleaseRemoveLock(&lock_, &a_);
}

TEST_F(RemoveLockTest, ReinitialisingForgetsThePreviousState)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock_, &a_);
    IoInitializeRemoveLock(&lock_, kTag, 1, 10);
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &a_), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock_, &a_);
}

} // namespace
