// The main queue: work submitted from any thread and run, in order, by the
// main loop on the main thread.
#include <Platform/AppKit.h>

#include <glib.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

class MainQueue {
public:
    static MainQueue& shared() {
        static MainQueue queue;
        return queue;
    }

    void submit(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(work));
        if (drainScheduled_) return;
        drainScheduled_ = true;
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(source, &MainQueue::drainCallback, this, nullptr);
        g_source_attach(source, g_main_context_default());
        g_source_unref(source);
    }

private:
    static gboolean drainCallback(gpointer self) {
        static_cast<MainQueue*>(self)->drain();
        return G_SOURCE_REMOVE;
    }

    // Work that submits more work sees it run in a later iteration, so a
    // busy submitter cannot starve the loop's other sources.
    void drain() {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(pending_);
            drainScheduled_ = false;
        }
        for (auto& work : batch) work();
    }

    std::mutex mutex_;
    std::deque<std::function<void()>> pending_;
    bool drainScheduled_ = false;
};

} // namespace

void dispatchAsyncMain(std::function<void()> work) {
    if (work) MainQueue::shared().submit(std::move(work));
}

void dispatchSyncMain(const std::function<void()>& work) {
    if (!work) return;
    if (isMainThread()) {
        work();
        return;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    dispatchAsyncMain([&] {
        work();
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

bool isMainThread() { return syscall(SYS_gettid) == getpid(); }
