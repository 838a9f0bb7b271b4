// The application object: a GLib main loop on the default main context, run
// by the main thread.
#include <Platform/AppKit.h>

#include <glib.h>

NSApplication& NSApplication::sharedApplication() {
    static NSApplication application;
    return application;
}

void NSApplication::setActivationPolicy(NSApplicationActivationPolicy policy) { policy_.store(policy); }

NSApplicationActivationPolicy NSApplication::activationPolicy() const { return policy_.load(); }

// There is no dock or menu bar to set up here.
void NSApplication::finishLaunching() {}

// The loop is driven iteration by iteration rather than by g_main_loop_run:
// a stop that arrives before the first iteration (or between two) is then
// never lost, because the flag is tested before every blocking wait and the
// context's wake-up descriptor stays signalled until that wait consumes it.
void NSApplication::run() {
    GMainContext* context = g_main_context_default();
    running_.store(true);
    while (!stopRequested_.exchange(false)) g_main_context_iteration(context, TRUE);
    running_.store(false);
}

void NSApplication::stop() {
    stopRequested_.store(true);
    g_main_context_wakeup(g_main_context_default());
}

// The event carries nothing the loop needs; it only wakes the loop so that a
// pending stop takes effect at once.
void NSApplication::postApplicationDefinedEvent(short, long, long, bool) {
    g_main_context_wakeup(g_main_context_default());
}

bool NSApplication::isRunning() const { return running_.load(); }
