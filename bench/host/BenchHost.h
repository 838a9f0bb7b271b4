// A host process for the benchmarks: started on a temporary socket with its
// log sent to a file, and one line-based client connection to it.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hostbench {

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Blocking line client over a Unix-domain stream socket.
class LineClient {
public:
    explicit LineClient(int fd) : fd_(fd) {}
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    static int connectTo(const std::string& path);
    void sendLine(const std::string& line);  // line without its line feed
    std::string readLine();                  // without its line feed; exits on end of input
    nlohmann::json request(const nlohmann::json& request);

private:
    int fd_;
    std::string pending_;
};

class BenchHost {
public:
    BenchHost();
    ~BenchHost();  // shuts the host down and removes the temporary directory
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& socketPath() const { return socket_; }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    LineClient& client() { return *client_; }
    // Request that must answer "ok"; exits with a message otherwise.
    nlohmann::json ok(const nlohmann::json& request);
    // Resident set size of the host in kB (VmRSS).
    long residentKilobytes() const;

private:
    std::string dir_, socket_;
    pid_t pid_ = -1;
    LineClient* client_ = nullptr;
};

// Median and 99th percentile of a sample, in the sample's unit.
struct Percentiles {
    double median, p99;
};
Percentiles percentiles(std::vector<double> values);

[[noreturn]] void die(const std::string& message);

}  // namespace hostbench
