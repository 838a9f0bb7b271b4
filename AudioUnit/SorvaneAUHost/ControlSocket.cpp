#include "ControlSocket.h"

#include "AUPluginEnumerator.h"

#include <Platform/AppKit.h>
#include <Platform/Foundation.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

std::string systemErrorText(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not live in buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

// A command and the handler it routes to; handlers without request members
// ignore the request argument.
struct Command {
    const char* name;
    nlohmann::json (*invoke)(ControlSocket& server, const nlohmann::json& request);
};

// Requests are matched against the names in this order.
const std::array<Command, 14> kCommands{{
    {"list_plugins", [](ControlSocket& s, const nlohmann::json&) { return s.handleListPlugins(); }},
    {"load", [](ControlSocket& s, const nlohmann::json& r) { return s.handleLoad(r); }},
    {"render", [](ControlSocket& s, const nlohmann::json& r) { return s.handleRender(r); }},
    {"midi", [](ControlSocket& s, const nlohmann::json& r) { return s.handleMidi(r); }},
    {"start_stream", [](ControlSocket& s, const nlohmann::json& r) { return s.handleStartStream(r); }},
    {"schedule_midi", [](ControlSocket& s, const nlohmann::json& r) { return s.handleScheduleMidi(r); }},
    {"render_stream", [](ControlSocket& s, const nlohmann::json& r) { return s.handleRenderStream(r); }},
    {"stop_stream", [](ControlSocket& s, const nlohmann::json& r) { return s.handleStopStream(r); }},
    {"get_parameters", [](ControlSocket& s, const nlohmann::json& r) { return s.handleGetParameters(r); }},
    {"window_server", [](ControlSocket& s, const nlohmann::json&) { return s.handleWindowServer(); }},
    {"show_ui", [](ControlSocket& s, const nlohmann::json& r) { return s.handleShowUI(r); }},
    {"hide_ui", [](ControlSocket& s, const nlohmann::json& r) { return s.handleHideUI(r); }},
    {"apply_preset", [](ControlSocket& s, const nlohmann::json& r) { return s.handleApplyPreset(r); }},
    {"unload", [](ControlSocket& s, const nlohmann::json& r) { return s.handleUnload(r); }},
}};

constexpr const char* kShutdownCommand = "shutdown";

}  // namespace

ControlSocket::ControlSocket(std::string path, AUHostEnginePtr engine)
    : path_(std::move(path)), engine_(std::move(engine)) {}

ControlSocket::~ControlSocket() { stopListening(); }

// ---------------------------------------------------------------------------
// Socket life cycle

bool ControlSocket::startListening() {
    sockaddr_un address{};
    boundPath_ = path_.substr(0, sizeof(address.sun_path) - 1);
    // A socket file left behind by a host that was killed is replaced here.
    ::unlink(boundPath_.c_str());

    if (!createSocket()) return false;
    if (!bindSocket()) {
        server_.reset();
        return false;
    }
    rememberSocketFile();
    if (!listenOnSocket()) {
        server_.reset();
        return false;
    }

    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_) {
        NSLog("[ControlSocket] eventfd() failed: %s", systemErrorText(errno).c_str());
        removeSocketFile();
        server_.reset();
        return false;
    }
    acceptThread_ = std::jthread([this](std::stop_token stop) { runAcceptLoop(stop); });
    return true;
}

bool ControlSocket::createSocket() {
    // Non-blocking, so that a connection that vanished between the readiness
    // report and accept() never blocks the accept loop.
    server_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!server_) {
        NSLog("[ControlSocket] socket() failed: %s", systemErrorText(errno).c_str());
        return false;
    }
    return true;
}

bool ControlSocket::bindSocket() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, boundPath_.data(), boundPath_.size());

    int result = -1;
    if (boundPath_.empty()) {
        // An empty path would name an abstract address on Linux; a socket
        // without a file is not what a caller naming a path asked for.
        errno = ENOENT;
    } else {
        // Anyone who can connect can load plugins and have files written
        // wherever this process may write: only the owner may connect.
        mode_t previousMask = ::umask(0177);
        ::umask(previousMask | 0177);
        result = ::bind(server_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        int bindError = errno;
        ::umask(previousMask);
        errno = bindError;
    }
    if (result != 0) {
        NSLog("[ControlSocket] bind() failed: %s", systemErrorText(errno).c_str());
        return false;
    }
    return true;
}

bool ControlSocket::listenOnSocket() {
    if (::listen(server_.get(), kListenBacklog) != 0) {
        NSLog("[ControlSocket] listen() failed: %s", systemErrorText(errno).c_str());
        removeSocketFile();
        return false;
    }
    return true;
}

void ControlSocket::rememberSocketFile() {
    struct stat info {};
    if (::stat(boundPath_.c_str(), &info) == 0) socketFile_ = std::make_pair(info.st_dev, info.st_ino);
}

void ControlSocket::removeSocketFile() {
    if (!socketFile_) return;
    struct stat info {};
    // Another host started on the same path since owns the file there now.
    if (::lstat(boundPath_.c_str(), &info) == 0 && info.st_dev == socketFile_->first &&
        info.st_ino == socketFile_->second)
        ::unlink(boundPath_.c_str());
    socketFile_.reset();
}

void ControlSocket::stopListening() {
    if (acceptThread_.joinable()) {
        acceptThread_.request_stop();
        uint64_t one = 1;
        if (wakeFd_) (void)!::write(wakeFd_.get(), &one, sizeof one);
        if (acceptThread_.get_id() == std::this_thread::get_id())
            acceptThread_.detach();
        else
            acceptThread_.join();
    }
    wakeFd_.reset();
    server_.reset();
    removeSocketFile();
}

// ---------------------------------------------------------------------------
// Accepting

void ControlSocket::runAcceptLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::array<pollfd, 2> watched{{{server_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}}};
        int ready = ::poll(watched.data(), watched.size(), -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            NSLog("[ControlSocket] poll() failed: %s", systemErrorText(errno).c_str());
            waitBeforeNextAccept();
            continue;
        }
        if (stop.stop_requested()) break;
        if (watched[0].revents & (POLLIN | POLLERR | POLLHUP)) acceptConnection();
    }
}

void ControlSocket::waitBeforeNextAccept() {
    // A failing accept (for instance out of descriptors) stays ready; pausing
    // keeps the loop from spinning and flooding the log until it clears. A
    // stop request ends the pause at once.
    pollfd wake{wakeFd_.get(), POLLIN, 0};
    ::poll(&wake, 1, 100);
}

void ControlSocket::acceptConnection() {
    int fd = ::accept4(server_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        // Nothing was waiting any more: not a failure.
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return;
        NSLog("[ControlSocket] accept() failed: %s", systemErrorText(error).c_str());
        waitBeforeNextAccept();
        return;
    }
    NSLog("[ControlSocket] Client connected (fd=%d)", fd);
    try {
        // Each connection keeps the server alive while it is served; it ends
        // with its peer or with the process, never with stopListening.
        std::thread([self = shared_from_this(), fd] { self->handleClient(fd); }).detach();
    } catch (const std::exception& e) {
        NSLog("[ControlSocket] Could not serve connection (fd=%d): %s", fd, e.what());
        ::close(fd);
    }
}

// ---------------------------------------------------------------------------
// Serving a connection

void ControlSocket::handleClient(int fd) {
    UniqueFd connection(fd);
    std::vector<char> chunk(kReadChunkSize);
    std::string pending;
    size_t searchFrom = 0;  // pending holds no line feed before this offset

    for (;;) {
        ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(chunk.data(), static_cast<size_t>(count));

        size_t consumed = 0;
        for (size_t lineFeed; (lineFeed = pending.find('\n', searchFrom)) != std::string::npos;) {
            std::string_view line(pending.data() + consumed, lineFeed - consumed);
            consumed = searchFrom = lineFeed + 1;
            if (serveLine(line, fd)) {
                // Whatever else this connection sent is dropped unanswered.
                connection.reset();
                handOverShutdownToMainLoop();
                return;
            }
        }
        pending.erase(0, consumed);
        searchFrom = pending.size();
    }
    // Bytes after the last line feed are never handled.
    connection.reset();
    NSLog("[ControlSocket] Client disconnected");
}

bool ControlSocket::serveLine(std::string_view line, int fd) {
    auto request = parseRequestLine(line);
    if (!request) {
        sendResponse(errorReply("Invalid JSON"), fd);
        return false;
    }
    sendResponse(handleRequest(*request), fd);
    return isShutdownRequest(*request);
}

std::optional<nlohmann::json> ControlSocket::parseRequestLine(std::string_view line) {
    try {
        // Strict: trailing text, invalid UTF-8 and comments all fail.
        json parsed = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
        if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return std::nullopt;
        return parsed;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool ControlSocket::isShutdownRequest(const json& request) {
    if (!request.is_object()) return false;
    auto command = request.find("cmd");
    return command != request.end() && command->is_string() && command->get_ref<const std::string&>() == kShutdownCommand;
}

void ControlSocket::handOverShutdownToMainLoop() {
    dispatchAsyncMain([] {
        auto& application = NSApplication::sharedApplication();
        application.stop();
        // Wakes the loop so that the stop takes effect at once.
        application.postApplicationDefinedEvent(0, 0, 0, true);
    });
}

// ---------------------------------------------------------------------------
// Requests and replies

nlohmann::json ControlSocket::handleRequest(const json& request) {
    try {
        if (!request.is_object()) return errorReply("Request must be a JSON object");
        auto command = request.find("cmd");
        if (command == request.end()) return errorReply("Missing 'cmd' field");
        if (!command->is_string()) return errorReply("Invalid 'cmd' field");
        return dispatch(command->get_ref<const std::string&>(), request);
    } catch (const nlohmann::json::exception& e) {
        // A member of an unexpected type that a handler read without checking.
        return errorReply(std::string("Invalid request: ") + e.what());
    } catch (const std::exception& e) {
        return errorReply(std::string("Internal error: ") + e.what());
    }
}

nlohmann::json ControlSocket::dispatch(const std::string& command, const json& request) {
    for (const auto& entry : kCommands) {
        if (command == entry.name) return entry.invoke(*this, request);
    }
    if (command == kShutdownCommand) {
        engine_->unloadAll();
        return okReply();
    }
    return errorReply("Unknown command: " + command);
}

void ControlSocket::sendResponse(const json& response, int fd) {
    auto text = serializeReply(response);
    if (!text) return;
    text->push_back('\n');

    const char* next = text->data();
    size_t remaining = text->size();
    while (remaining > 0) {
        // MSG_NOSIGNAL: a peer that has gone makes the write fail, it never
        // raises SIGPIPE.
        ssize_t written = ::send(fd, next, remaining, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        next += written;
        remaining -= static_cast<size_t>(written);
    }
}

std::optional<std::string> ControlSocket::serializeReply(const json& reply) {
    std::string compact;
    try {
        // Text that is not valid UTF-8 (a plugin's name, say) is written with
        // replacement characters rather than losing the whole reply.
        compact = reply.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // "/" only ever occurs inside strings in JSON text, so escaping every one
    // keeps the text equivalent.
    std::string escaped;
    escaped.reserve(compact.size() + compact.size() / 8);
    for (char c : compact) {
        if (c == '/') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

nlohmann::json ControlSocket::okReply() { return {{"status", "ok"}}; }

nlohmann::json ControlSocket::errorReply(std::string message) {
    return {{"status", "error"}, {"message", std::move(message)}};
}

const std::string* ControlSocket::stringMember(const json& request, const char* name) {
    auto member = request.find(name);
    if (member == request.end() || !member->is_string()) return nullptr;
    return &member->get_ref<const std::string&>();
}

// ---------------------------------------------------------------------------
// Catalogue

nlohmann::json ControlSocket::handleListPlugins() {
    json plugins = json::array();
    for (const auto& plugin : AUPluginEnumerator::listInstrumentPlugins())
        plugins.push_back(plugin->dictionaryRepresentation());
    return {{"status", "ok"}, {"plugins", std::move(plugins)}};
}

// ---------------------------------------------------------------------------
// Plugin table

nlohmann::json ControlSocket::handleUnload(const json& request) {
    // An "id" of another type than string counts as missing.
    const std::string* pluginId = stringMember(request, "id");
    if (!pluginId) return errorReply("Missing 'id'");
    engine_->unloadPlugin(*pluginId);
    return okReply();
}

// ---------------------------------------------------------------------------
// Audio path

namespace {

// The error's description, or the command's fallback text when it has none.
std::string descriptionOr(const NSErrorPtr& error, const char* fallback) {
    return error && !error->localizedDescription.empty() ? error->localizedDescription : fallback;
}

// A number member read as an integer, fractions truncated and values beyond
// the 64-bit range saturated; nothing when absent or not a number.
std::optional<int64_t> integerMember(const nlohmann::json& request, const char* name) {
    auto member = request.find(name);
    if (member == request.end() || !member->is_number()) return std::nullopt;
    if (member->is_number_unsigned()) {
        const uint64_t value = member->get<uint64_t>();
        return value > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                      : int64_t(value);
    }
    if (member->is_number_integer()) return member->get<int64_t>();
    const double value = std::trunc(member->get<double>());
    if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return int64_t(value);
}

// A number member read as an unsigned integer. Negative values are refused:
// taken modulo 2^64 they would ask for an endless render.
std::optional<uint64_t> unsignedMember(const nlohmann::json& request, const char* name) {
    auto member = request.find(name);
    if (member == request.end() || !member->is_number()) return std::nullopt;
    if (member->is_number_unsigned()) return member->get<uint64_t>();
    if (member->is_number_integer()) {
        const int64_t value = member->get<int64_t>();
        return value < 0 ? std::nullopt : std::optional<uint64_t>(uint64_t(value));
    }
    const double value = std::trunc(member->get<double>());
    if (value < 0) return std::nullopt;
    if (value >= 1.8446744073709552e19) return std::numeric_limits<uint64_t>::max();
    return uint64_t(value);
}

// MIDI data members are cut to their low 8 bits.
std::optional<uint8_t> byteMember(const nlohmann::json& request, const char* name) {
    auto value = integerMember(request, name);
    return value ? std::optional<uint8_t>(uint8_t(*value)) : std::nullopt;
}

}  // namespace

nlohmann::json ControlSocket::handleLoad(const json& request) {
    const std::string* identifier = stringMember(request, "plugin");
    const std::string* pluginId = stringMember(request, "id");
    if (!identifier || !pluginId) return errorReply("Missing 'plugin' or 'id'");
    NSErrorPtr error;
    if (!engine_->loadPlugin(*identifier, *pluginId, &error)) return errorReply(descriptionOr(error, "Unknown error"));
    return {{"status", "ok"}, {"id", *pluginId}};
}

nlohmann::json ControlSocket::handleRender(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    const auto note = byteMember(request, "note");
    const auto velocity = byteMember(request, "velocity");
    const auto durationMs = unsignedMember(request, "duration_ms");
    const std::string* output = stringMember(request, "output");
    if (!pluginId || !note || !velocity || !durationMs || !output)
        return errorReply("Missing required render parameters");

    NSErrorPtr error;
    const uint64_t frames = engine_->renderNote(*pluginId, *note, *velocity, *durationMs, *output, &error);
    if (frames == 0 && error) return errorReply(descriptionOr(error, "Render failed"));
    return {{"status", "ok"}, {"id", *pluginId}, {"output", *output}, {"frames", frames}};
}

nlohmann::json ControlSocket::handleMidi(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    const std::string* type = stringMember(request, "type");
    const auto note = byteMember(request, "note");
    if (!pluginId || !type || !note) return errorReply("Missing MIDI parameters");

    uint8_t status;
    if (*type == "note_on") status = 0x90;
    else if (*type == "note_off") status = 0x80;
    else return errorReply("Unknown MIDI type: " + *type);

    engine_->sendMIDI(*pluginId, status, *note, byteMember(request, "velocity").value_or(0));
    return okReply();
}

nlohmann::json ControlSocket::handleStartStream(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    const std::string* ringPath = stringMember(request, "ring_path");
    const auto frames = unsignedMember(request, "frames");
    if (!pluginId || !ringPath || !frames) return errorReply("Missing or invalid 'id', 'ring_path', or 'frames'");

    NSErrorPtr error;
    if (!engine_->startStream(*pluginId, *ringPath, *frames, &error))
        return errorReply(descriptionOr(error, "Could not start stream"));
    return {{"status", "ok"}, {"id", *pluginId}};
}

nlohmann::json ControlSocket::handleScheduleMidi(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    auto events = request.find("events");
    if (!pluginId || events == request.end() || !events->is_array()) return errorReply("Missing 'id' or 'events'");

    NSErrorPtr error;
    if (!engine_->scheduleMidi(*events, *pluginId, &error))
        return errorReply(descriptionOr(error, "Could not schedule MIDI"));
    return {{"status", "ok"}, {"scheduled", events->size()}};
}

nlohmann::json ControlSocket::handleRenderStream(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    const auto frames = unsignedMember(request, "frames");
    if (!pluginId || !frames) return errorReply("Missing 'id' or 'frames'");

    NSErrorPtr error;
    const int64_t written = engine_->renderStream(*pluginId, *frames, &error);
    if (written < 0) return errorReply(descriptionOr(error, "Render failed"));
    return {{"status", "ok"}, {"id", *pluginId}, {"frames", written}};
}

nlohmann::json ControlSocket::handleStopStream(const json& request) {
    const std::string* pluginId = stringMember(request, "id");
    if (!pluginId) return errorReply("Missing 'id'");
    engine_->stopStream(*pluginId);
    return okReply();
}

nlohmann::json ControlSocket::handleGetParameters(const json&) { return errorReply("Not implemented"); }
nlohmann::json ControlSocket::handleApplyPreset(const json&) { return errorReply("Not implemented"); }

// ---------------------------------------------------------------------------
// Editor windows

nlohmann::json ControlSocket::handleWindowServer() { return errorReply("Not implemented"); }
nlohmann::json ControlSocket::handleShowUI(const json&) { return errorReply("Not implemented"); }
nlohmann::json ControlSocket::handleHideUI(const json&) { return errorReply("Not implemented"); }
