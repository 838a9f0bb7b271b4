// Application object, main queue and window-server queries.
// The event loop is a GLib main loop on the default main context; it runs
// whether or not a display exists.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

enum NSApplicationActivationPolicy : long {
    NSApplicationActivationPolicyRegular = 0,
    NSApplicationActivationPolicyAccessory = 1,
    NSApplicationActivationPolicyProhibited = 2,
};

inline constexpr unsigned long NSEventTypeApplicationDefined = 15;

class NSApplication {
public:
    static NSApplication& sharedApplication();

    void setActivationPolicy(NSApplicationActivationPolicy policy);
    NSApplicationActivationPolicy activationPolicy() const;
    void finishLaunching();

    // Runs the main loop on the calling (main) thread until stop() takes effect.
    void run();
    // Asks the running loop to return; takes effect once the loop wakes.
    void stop();
    // Posts an application-defined event that wakes the loop (subtype, data1, data2).
    void postApplicationDefinedEvent(short subtype, long data1, long data2, bool atStart);
    // True while run() is serving the loop.
    bool isRunning() const;

private:
    NSApplication() = default;
    std::atomic<NSApplicationActivationPolicy> policy_{NSApplicationActivationPolicyRegular};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
};

// Submits work to the main queue (the main loop's thread), from any thread.
// Work items run one at a time, in the order they were submitted, once the
// loop iterates (never inside this call).
void dispatchAsyncMain(std::function<void()> work);
// Runs work on the main queue and waits for it; on the main thread it runs at once.
void dispatchSyncMain(const std::function<void()>& work);
// True on the process's main thread (the one that runs the loop).
bool isMainThread();

// Process serial numbers and the foreground transformation.
struct ProcessSerialNumber {
    uint32_t highLongOfPSN;
    uint32_t lowLongOfPSN;
};
inline constexpr uint32_t kCurrentProcess = 2;
inline constexpr uint32_t kProcessTransformToForegroundApplication = 1;
int32_t TransformProcessType(const ProcessSerialNumber* psn, uint32_t transformState);

// Window-server session of this process: present exactly when the display named
// by DISPLAY can be opened. The dictionary holds the values that can be given
// here, keyed as the session keys are spelled ("kCGSSessionOnConsoleKey",
// "kCGSessionLoginDoneKey", "kCGSSessionUserNameKey"); a missing key has no value.
using CGSessionDictionary = std::map<std::string, std::string>;
std::optional<CGSessionDictionary> CGSessionCopyCurrentDictionary();

// Number of screens of the window server (0 without one).
unsigned long NSScreenCount();
