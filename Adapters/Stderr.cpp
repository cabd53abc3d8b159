#include "Adapters/Stderr.hpp"

#include <cerrno>
#include <unistd.h>

namespace korvel::Stderr {
void write(std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nothing sensible to do when stderr is gone
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}
} // namespace korvel::Stderr
