// The control socket server: a Unix-domain stream socket on which clients send
// one JSON request per line and get one compact JSON reply line back.
// Connections are accepted on a thread of their own and each connection is
// served on its own thread, strictly in request order.
#pragma once

#include "AUHostEngine.h"
#include "UniqueFd.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

class ControlSocket : public std::enable_shared_from_this<ControlSocket> {
public:
    using json = nlohmann::json;

    // Bytes read from a connection per read call.
    static constexpr size_t kReadChunkSize = 65535;
    static constexpr int kListenBacklog = 5;

    // Opens nothing; startListening does.
    ControlSocket(std::string path, AUHostEnginePtr engine);
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Binds and listens at the path (replacing whatever is there) and starts
    // accepting. Logs the failing step and returns false when it cannot.
    bool startListening();
    // Stops accepting and removes the socket file. Connections being served go on.
    void stopListening();

    const std::string& path() const { return path_; }
    const AUHostEnginePtr& engine() const { return engine_; }
    int serverFd() const { return server_.get(); }

    // Accepts one waiting connection and starts serving it.
    void acceptConnection();
    // Serves one connection until it ends; takes over (and closes) the descriptor.
    void handleClient(int fd);
    // Routes one parsed request to its handler. Never throws: every outcome is a reply.
    json handleRequest(const json& request);
    // Writes one reply line; a reply that cannot be written is dropped.
    static void sendResponse(const json& response, int fd);

    // --- Reply envelope ---------------------------------------------------
    static json okReply();
    static json errorReply(std::string message);
    // A request line as JSON: nothing unless it is an object or an array.
    static std::optional<json> parseRequestLine(std::string_view line);
    // Compact JSON with every "/" written as "\/"; nothing when it cannot be written.
    static std::optional<std::string> serializeReply(const json& reply);
    // A string member, or nothing when it is absent or of another type.
    static const std::string* stringMember(const json& request, const char* name);

    // --- Command handlers (in the order requests are matched) -------------
    json handleListPlugins();
    json handleLoad(const json& request);
    json handleRender(const json& request);
    json handleMidi(const json& request);
    json handleStartStream(const json& request);
    json handleScheduleMidi(const json& request);
    json handleRenderStream(const json& request);
    json handleStopStream(const json& request);
    json handleGetParameters(const json& request);
    json handleWindowServer();
    json handleShowUI(const json& request);
    json handleHideUI(const json& request);
    json handleApplyPreset(const json& request);
    json handleUnload(const json& request);

private:
    bool createSocket();
    bool bindSocket();
    bool listenOnSocket();
    void rememberSocketFile();
    void removeSocketFile();
    void runAcceptLoop(std::stop_token stop);
    void waitBeforeNextAccept();
    // Handles one complete request line; true when it was "shutdown".
    bool serveLine(std::string_view line, int fd);
    static bool isShutdownRequest(const json& request);
    static void handOverShutdownToMainLoop();
    json dispatch(const std::string& command, const json& request);

    std::string path_;
    // The path as it fits the socket address (cut to its size less one byte).
    std::string boundPath_;
    AUHostEnginePtr engine_;
    UniqueFd server_;
    // Wakes the accept loop when listening stops.
    UniqueFd wakeFd_;
    std::jthread acceptThread_;
    // Identity of the socket file this server created, so that stopping never
    // removes a file that another host has bound at the same path since.
    std::optional<std::pair<dev_t, ino_t>> socketFile_;
};
using ControlSocketPtr = std::shared_ptr<ControlSocket>;
