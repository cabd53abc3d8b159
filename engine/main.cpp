// korvel-engine: the media engine process. The editor starts it with pipes
// and speaks JSON-RPC 2.0 lines on its standard input and output.

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Files/EngineFolders.hpp"
#include "Adapters/Server/Stderr.hpp"
#include "Adapters/Server/StdioServer.hpp"
#include "Core/Engine.hpp"
#include "Embedded/EngineAssembly.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The process ends here, never by returning from main: work that a cancelled
// request left running (a shared hash, a measurement others could have
// joined, a background download) goes on on pool threads, and the libraries'
// exit handlers (OpenSSL frees its locks) would pull its state away under it.
[[noreturn]] void leave(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

// A standard descriptor the parent closed would be taken by the next file
// the engine opens, and answers would be written into it. /dev/null, read
// only, holds its place: reads see the end, writes fail as writes should.
void holdStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held != -1 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

// glibc gives each thread that allocates its own heap, up to eight per core.
// The pools' and codecs' threads free memory into heaps other than the one
// it came from, and pages half used in dozens of heaps add up: a day's
// session kept three times the memory with them, and kept growing. A few
// heaps shared by all hold it level. The process is the engine's own, so
// its policy is the engine's; one the user set stays.
void shareHeaps() {
    if (std::getenv("MALLOC_ARENA_MAX")) return;
    if (const char* tunables = std::getenv("GLIBC_TUNABLES"); tunables && std::strstr(tunables, "arena_max")) return;
    ::mallopt(M_ARENA_MAX, 4);
}

} // namespace

int main(int argc, char** argv) {
    using namespace korvel;
    holdStandardDescriptors();
    // whisper's OpenMP workers spin while they wait for each other, which
    // starves recognition on a busy machine; libgomp reads its wait policy
    // only when it loads, so the process starts once more with it set.
    if (!std::getenv("OMP_WAIT_POLICY")) {
        ::setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
        ::execv("/proc/self/exe", argv);
    }
    // Started again through /proc/self/exe, the process would be named "exe";
    // monitors and pkill know it by the name it was started by. Its threads
    // take the name too.
    if (argc > 0 && argv[0] && argv[0][0]) {
        const std::string program = argv[0];
        ::prctl(PR_SET_NAME, program.substr(program.find_last_of('/') + 1).substr(0, 15).c_str());
    }
    shareHeaps();
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe becomes a write error
    Stderr::routeLibraryLogs();

    std::vector<std::string> arguments(argv, argv + argc);

    try {
        auto folders = EngineFolders::from(arguments, EngineFolders::environment());
        Engine engine = EngineAssembly::engine(folders, EngineSpeech::standard());
        StdioServer server(std::move(engine), STDIN_FILENO, STDOUT_FILENO, BackgroundGate::shared());
        try {
            // Jobs may still hold the engine's objects: it is never torn down.
            server.run();
        } catch (const std::exception& ex) {
            Stderr::write(std::string("korvel-engine: ") + ex.what() + "\n");
            leave(1);
        } catch (...) {
            Stderr::write("korvel-engine: unknown error\n");
            leave(1);
        }
        leave(0);
    } catch (const std::exception& ex) {
        Stderr::write(std::string("korvel-engine: ") + ex.what() + "\n");
    } catch (...) {
        Stderr::write("korvel-engine: unknown error\n");
    }
    leave(1); // running jobs end with the process
}
