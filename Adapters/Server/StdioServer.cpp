#include "Adapters/Server/StdioServer.hpp"

#include "Adapters/Server/Stderr.hpp"

#include <cerrno>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace korvel {

namespace {
Wire::Sink descriptorSink(int fd) {
    return [fd](const std::string& line) {
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "could not write to standard output");
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    };
}
} // namespace

StdioServer::StdioServer(Engine engine, int input, int output, BackgroundGate& gate)
    : input_(input), session_(std::move(engine), gate, descriptorSink(output)) {}

bool StdioServer::run() {
    LineSplitter splitter;
    auto buffer = std::make_unique<char[]>(readBufferSize);
    for (;;) {
        ssize_t n = ::read(input_, buffer.get(), readBufferSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            Stderr::write("korvel-engine: could not read stdin: errno " + std::to_string(errno) + "\n");
            break;
        }
        if (n == 0) break;
        for (const auto& line : splitter.append(std::string_view(buffer.get(), static_cast<size_t>(n)))) {
            session_.receive(line);
        }
    }
    return session_.stop(shutdownGrace);
}

} // namespace korvel
