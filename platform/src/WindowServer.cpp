// Window-server queries: the X display named by DISPLAY stands in for the
// window server. A session exists exactly when that display can be opened.
#include <Platform/AppKit.h>

#include <X11/Xlib.h>

#include <memory>

#include <pwd.h>
#include <unistd.h>

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

DisplayHandle openDefaultDisplay() { return DisplayHandle(XOpenDisplay(nullptr)); }

std::optional<std::string> currentUserName() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_name) return {};
    return std::string(found->pw_name);
}

} // namespace

// Processes here need no transformation to show windows.
int32_t TransformProcessType(const ProcessSerialNumber*, uint32_t) { return 0; }

// Booleans are given as the platform prints them ("1"); a user that cannot be
// looked up leaves its key out.
std::optional<CGSessionDictionary> CGSessionCopyCurrentDictionary() {
    DisplayHandle display = openDefaultDisplay();
    if (!display) return std::nullopt;
    CGSessionDictionary session;
    session["kCGSSessionOnConsoleKey"] = "1";
    session["kCGSessionLoginDoneKey"] = "1";
    if (auto user = currentUserName()) session["kCGSSessionUserNameKey"] = *user;
    return session;
}

unsigned long NSScreenCount() {
    DisplayHandle display = openDefaultDisplay();
    if (!display) return 0;
    const int screens = ScreenCount(display.get());
    return screens > 0 ? static_cast<unsigned long>(screens) : 0;
}
