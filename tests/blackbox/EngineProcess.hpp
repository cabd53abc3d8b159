#pragma once

// Starts the real korvel-engine with pipes and speaks JSON lines to it.

#include "Core/JSONValue.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korvel::testing {

class EngineProcess {
public:
    // A launcher (a program and its arguments, such as setpriv or prlimit)
    // runs the engine when given.
    explicit EngineProcess(std::vector<std::string> arguments = {}, std::vector<std::string> environment = {},
                           bool closeStdout = false, std::vector<std::string> launcher = {});
    ~EngineProcess();

    void send(const std::string& text); // written as it is
    void sendLine(const std::string& line) { send(line + "\n"); }
    void closeInput();

    // The next line on stdout, or nothing at end of output or timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::optional<JSONValue> readJSON(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Reads JSON lines until the response with this id; progress lines are kept.
    std::optional<JSONValue> responseFor(int64_t id, std::vector<JSONValue>* notifications = nullptr,
                                         std::chrono::milliseconds lineTimeout = std::chrono::seconds(20));

    // Waits for exit; the exit status, or -1 on timeout (the process is killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::string stderrText(); // everything written to stderr so far (after exit: all)
    // Sends a signal and waits for the process to end.
    void killNow(int signal);

    static std::string request(int64_t id, const std::string& method, const std::string& paramsJSON);
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outBuffer_, errBuffer_;
    bool outClosed_ = false;
    std::optional<int> status_;
    void drainStderr();
};

// A fresh, empty folder for one test under the build's test-tmp folder.
std::string freshFolder(const std::string& name);

} // namespace korvel::testing
