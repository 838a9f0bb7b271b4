// The application loop and the main queue. Each test runs on the process's
// main thread (the one that runs the loop).
#include <Platform/AppKit.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(ApplicationLoop, AStopBeforeRunEndsTheNextRunAtOnce) {
    NSApplication& app = NSApplication::sharedApplication();
    ASSERT_TRUE(isMainThread());
    app.stop();
    app.run(); // returns instead of waiting for anything
    EXPECT_FALSE(app.isRunning());

    // The stop was used up: the next run serves the queue until stopped again.
    bool served = false;
    dispatchAsyncMain([&] {
        served = app.isRunning() && isMainThread();
        app.stop();
    });
    app.run();
    EXPECT_TRUE(served);
}

TEST(ApplicationLoop, WorkFromOtherThreadsRunsOnTheMainThreadInOrder) {
    NSApplication& app = NSApplication::sharedApplication();
    constexpr int kItems = 200;
    std::vector<int> order;
    std::atomic<bool> allOnMain{true};
    std::thread submitter([&] {
        for (int i = 0; i < kItems; ++i)
            dispatchAsyncMain([&, i] {
                if (!isMainThread()) allOnMain = false;
                order.push_back(i);
            });
        dispatchAsyncMain([&] { app.stop(); });
    });
    app.run();
    submitter.join();
    ASSERT_EQ(order.size(), size_t(kItems));
    for (int i = 0; i < kItems; ++i) EXPECT_EQ(order[size_t(i)], i);
    EXPECT_TRUE(allOnMain);
}

// The shutdown hand-over: stop and an application-defined event, sent from
// another thread while the loop sleeps, end the run.
TEST(ApplicationLoop, StopAndEventFromAnotherThreadEndTheRun) {
    NSApplication& app = NSApplication::sharedApplication();
    std::thread stopper([&] {
        dispatchSyncMain([] {}); // the loop is running and has served the queue
        app.stop();
        app.postApplicationDefinedEvent(0, 0, 0, true);
    });
    app.run();
    stopper.join();
    EXPECT_FALSE(app.isRunning());
}

TEST(ApplicationLoop, SyncWorkWaitsForTheMainThread) {
    NSApplication& app = NSApplication::sharedApplication();
    int value = 0;
    bool ranOnMain = false;
    std::thread caller([&] {
        dispatchSyncMain([&] {
            ranOnMain = isMainThread();
            value = 7;
        });
        EXPECT_EQ(value, 7); // done before the call returned
        dispatchAsyncMain([&] { app.stop(); });
    });
    app.run();
    caller.join();
    EXPECT_TRUE(ranOnMain);

    // On the main thread itself it runs at once.
    dispatchSyncMain([&] { value = 8; });
    EXPECT_EQ(value, 8);
}

TEST(ApplicationLoop, ActivationPolicyAndForegroundTransformation) {
    NSApplication& app = NSApplication::sharedApplication();
    const ProcessSerialNumber psn{0, kCurrentProcess};
    EXPECT_EQ(TransformProcessType(&psn, kProcessTransformToForegroundApplication), 0);
    app.setActivationPolicy(NSApplicationActivationPolicyAccessory);
    EXPECT_EQ(app.activationPolicy(), NSApplicationActivationPolicyAccessory);
    app.setActivationPolicy(NSApplicationActivationPolicyRegular);
    app.finishLaunching();
    EXPECT_EQ(app.activationPolicy(), NSApplicationActivationPolicyRegular);
}
