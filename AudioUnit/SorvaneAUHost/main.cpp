// SorvaneAUHost: hosts instrument plugins on behalf of the application, which
// drives it over the control socket named on the command line.
#include "AUHostEngine.h"
#include "ControlSocket.h"

#include <Platform/AVAudioUnit.h>
#include <Platform/AppKit.h>
#include <Platform/Foundation.h>

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length;
        uint32_t codePoint;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kSmallestOfLength[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallestOfLength[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// The value following the last "--socket"; a value that is not UTF-8 text
// yields no path, even when an earlier pair gave one.
std::optional<std::string> socketPathFromArguments(int argc, char** argv) {
    std::optional<std::string> path;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) != "--socket" || i + 1 >= argc) continue;
        std::string value = argv[++i];
        path = isValidUtf8(value) ? std::optional<std::string>(std::move(value)) : std::nullopt;
    }
    return path;
}

void becomeForegroundApplication() {
    ProcessSerialNumber process{0, kCurrentProcess};
    TransformProcessType(&process, kProcessTransformToForegroundApplication);

    auto& application = NSApplication::sharedApplication();
    application.setActivationPolicy(NSApplicationActivationPolicyRegular);
    application.finishLaunching();
}

void logConsoleOwner() {
    struct stat console {};
    if (::stat("/dev/console", &console) != 0) {
        NSLog("[AU-UI-DIAG][env] /dev/console stat failed errno=%d", errno);
        return;
    }
    NSLog("[AU-UI-DIAG][env] /dev/console owner uid=%u (%s)", console.st_uid,
          console.st_uid == 0 ? "root => no GUI console session" : "non-root => GUI console session present");
}

void logWindowServerSession() {
    auto session = CGSessionCopyCurrentDictionary();
    if (!session) {
        NSLog("[AU-UI-DIAG][env] CGSessionCopyCurrentDictionary returned NULL (no window-server session for this "
              "process)");
        return;
    }
    auto valueOf = [&](const char* key) {
        auto it = session->find(key);
        return it == session->end() ? std::string("(null)") : it->second;
    };
    NSLog("[AU-UI-DIAG][env] CGSession present onConsole=%s loginDone=%s user=%s",
          valueOf("kCGSSessionOnConsoleKey").c_str(), valueOf("kCGSessionLoginDoneKey").c_str(),
          valueOf("kCGSSessionUserNameKey").c_str());
}

void logEnvironmentDiagnostics() {
    logConsoleOwner();
    logWindowServerSession();
    NSLog("[AU-UI-DIAG][env] NSScreen count=%lu activationPolicy=%ld", NSScreenCount(),
          static_cast<long>(NSApplication::sharedApplication().activationPolicy()));
    const char* sshConnection = std::getenv("SSH_CONNECTION");
    NSLog("[AU-UI-DIAG][env] SSH_CONNECTION=%s", sshConnection ? sshConnection : "(unset)");
}

}  // namespace

int main(int argc, char** argv) {
    auto socketPath = socketPathFromArguments(argc, argv);
    if (!socketPath) {
        NSLog("[SorvaneAUHost] Usage: SorvaneAUHost --socket <path>");
        return EXIT_FAILURE;
    }
    NSLog("[SorvaneAUHost] Starting with socket: %s", socketPath->c_str());

    // A client that goes away must only fail the write to it.
    std::signal(SIGPIPE, SIG_IGN);

    // Loads the component registry (and any component modules) up front.
    (void)AVAudioUnitComponentManager::sharedAudioUnitComponentManager();
    becomeForegroundApplication();
    logEnvironmentDiagnostics();

    auto engine = std::make_shared<AUHostEngine>();
    auto server = std::make_shared<ControlSocket>(*socketPath, engine);
    if (!server->startListening()) {
        NSLog("[SorvaneAUHost] Failed to start listening on socket");
        return EXIT_FAILURE;
    }
    NSLog("[SorvaneAUHost] Listening on %s", socketPath->c_str());

    NSApplication::sharedApplication().run();

    NSLog("[SorvaneAUHost] Shutting down");
    server->stopListening();
    // Connections still being served (a client blocked in a long request) end
    // with the process; leaving without running static destructors keeps their
    // threads from touching torn-down process state on the way out.
    std::_Exit(EXIT_SUCCESS);
}
