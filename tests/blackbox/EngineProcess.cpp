#include "EngineProcess.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::testing {

namespace fs = std::filesystem;

EngineProcess::EngineProcess(std::vector<std::string> arguments, std::vector<std::string> environment,
                             bool closeStdout, std::vector<std::string> launcher) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC)) {
        throw std::runtime_error("pipe");
    }
    std::vector<std::string> argv = launcher;
    argv.push_back(KORVEL_ENGINE_PATH);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(inPipe[0], 0);
        if (closeStdout) ::close(1);
        else ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        for (auto& e : environment) ::putenv(e.data());
        ::setenv("GGML_NO_BACKTRACE", "1", 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    ::signal(SIGPIPE, SIG_IGN);
}

EngineProcess::~EngineProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) ::close(fd);
}

void EngineProcess::send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("engine's stdin closed");
        }
        done += static_cast<size_t>(n);
    }
}

void EngineProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void EngineProcess::drainStderr() {
    char buf[4096];
    for (;;) {
        pollfd p{err_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        ssize_t n = ::read(err_, buf, sizeof buf);
        if (n <= 0) return;
        errBuffer_.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> EngineProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto nl = outBuffer_.find('\n'); nl != std::string::npos) {
            std::string line = outBuffer_.substr(0, nl);
            outBuffer_.erase(0, nl + 1);
            return line;
        }
        if (outClosed_) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return std::nullopt;
        if (fds[1].revents) drainStderr();
        if (fds[0].revents) {
            char buf[65536];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) outClosed_ = true;
            else outBuffer_.append(buf, static_cast<size_t>(n));
        }
    }
}

std::optional<JSONValue> EngineProcess::readJSON(std::chrono::milliseconds timeout) {
    auto line = readLine(timeout);
    if (!line) return std::nullopt;
    return JSONValue::parsing(*line);
}

std::optional<JSONValue> EngineProcess::responseFor(int64_t id, std::vector<JSONValue>* notifications,
                                                    std::chrono::milliseconds lineTimeout) {
    for (;;) {
        auto message = readJSON(lineTimeout);
        if (!message) return std::nullopt;
        const auto* messageId = message->member("id");
        if (messageId && messageId->intValue() == id) return message;
        if (notifications) notifications->push_back(*message);
    }
}

void EngineProcess::killNow(int signal) {
    if (status_ || pid_ <= 0) return;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = status;
}

int EngineProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return *status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // collect the rest of stderr
            char buf[4096];
            ssize_t n;
            while ((n = ::read(err_, buf, sizeof buf)) > 0) errBuffer_.append(buf, static_cast<size_t>(n));
            return *status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
            return -1;
        }
        drainStderr();
        ::usleep(2000);
    }
}

std::string EngineProcess::stderrText() {
    drainStderr();
    return errBuffer_;
}

std::string EngineProcess::request(int64_t id, const std::string& method, const std::string& paramsJSON) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + R"(","params":)" +
           paramsJSON + "}";
}

std::string freshFolder(const std::string& name) {
    fs::path folder = fs::path(KORVEL_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder.string();
}

} // namespace korvel::testing
