#include "Adapters/Models/ModelDownload.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/JSONValue.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <stop_token>
#include <unistd.h>

namespace korvel {

void ByteReporter::written(int64_t bytes) const {
    int64_t done = 0;
    if (__builtin_add_overflow(alreadyDone, bytes, &done)) done = total;
    job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::bytes, std::min(total, done), total});
}

namespace ModelDownload {

namespace {

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool transient(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

// One attempt: what curl's callbacks see.
struct Transfer {
    CURL* curl = nullptr;
    int64_t limit = 0;
    std::string modelId;
    std::filesystem::path destination;
    const ByteReporter* reporter = nullptr;
    std::stop_token token;

    bool headersSeen = false;
    long status = 0;
    int64_t expected = -1;
    int64_t written = 0;
    int fd = -1;
    std::string errorBody;
    std::optional<EngineFailure> failure;
    // When the last byte arrived; a transfer quiet for too long has stalled.
    std::chrono::steady_clock::duration stalledAfter{};
    curl_off_t lastSeen = -1;
    std::chrono::steady_clock::time_point lastArrival = std::chrono::steady_clock::now();
    bool stalled = false;

    ~Transfer() {
        if (fd >= 0) ::close(fd);
    }

    bool succeeded() const { return status == 0 || (status >= 200 && status <= 299); }

    void seeHeaders() {
        if (headersSeen) return;
        headersSeen = true;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t length = -1;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) expected = length;
    }

    // The finished body's file; made empty when the answer had no body.
    bool openDestination() {
        if (fd >= 0) return true;
        fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) return true;
        failure = MediaFailure::writing(std::make_exception_ptr(SystemError::posix(errno, "open " + destination.string())),
                                        MediaFailure::Phrase{"The speech models"}, destination);
        return false;
    }

    size_t receive(const char* data, size_t size) {
        seeHeaders();
        written += static_cast<int64_t>(size);
        if (limit < written || limit < expected) {
            failure = EngineFailure::internalError("The download of " + modelId + " is larger than the model is.");
            return 0;
        }
        if (!succeeded()) {
            const size_t room = errorBodyBytes - std::min(errorBodyBytes, errorBody.size());
            errorBody.append(data, std::min(room, size));
            return size;
        }
        if (!openDestination()) return 0;
        for (size_t off = 0; off < size;) {
            ssize_t n = ::write(fd, data + off, size - off);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure = MediaFailure::writing(
                    std::make_exception_ptr(SystemError::posix(errno, "write " + destination.string())), MediaFailure::Phrase{"The speech models"},
                    destination);
                return 0;
            }
            off += static_cast<size_t>(n);
        }
        reporter->written(written);
        return size;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* user) {
        return static_cast<Transfer*>(user)->receive(data, size * count);
    }

    static int onProgress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
        auto* t = static_cast<Transfer*>(user);
        if (t->token.stop_requested()) return 1;
        const auto clock = std::chrono::steady_clock::now();
        if (now != t->lastSeen) {
            t->lastSeen = now;
            t->lastArrival = clock;
        } else if (clock - t->lastArrival >= t->stalledAfter) {
            t->stalled = true;
            return 1;
        }
        return 0;
    }
};

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

std::filesystem::path attempt(const std::string& url, int64_t limit, const std::string& modelId, const ByteReporter& reporter,
                              const std::filesystem::path& into, const Settings& settings) {
    Transfer transfer;
    transfer.limit = limit;
    transfer.modelId = modelId;
    transfer.destination = into;
    transfer.reporter = &reporter;
    transfer.token = Task::currentToken();
    transfer.stalledAfter = settings.stalledAfter;
    if (transfer.token.stop_requested()) throw Cancelled();

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) throw EngineFailure::internalError("Could not download the model: no transfer could be set up");
    CURL* c = easy.get();
    transfer.curl = c;
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    // curl's default writer is stdout, the protocol channel: always ours.
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.connectTimeout.count()));

    const CURLcode code = curl_easy_perform(c);
    if (transfer.token.stop_requested()) throw Cancelled();
    if (transfer.failure) throw *transfer.failure;
    if (transfer.stalled) {
        throw ConnectionLost(EngineFailure::internalError("Could not download the model: no data arrived for " +
                                                          std::to_string(settings.stalledAfter.count()) + " seconds"));
    }
    if (code != CURLE_OK) {
        const std::string description = detail[0] ? std::string(detail) : std::string(curl_easy_strerror(code));
        EngineFailure failure = EngineFailure::internalError("Could not download the model: " + description);
        if (transient(code)) throw ConnectionLost(failure);
        throw failure;
    }
    transfer.seeHeaders();
    if (!transfer.succeeded()) {
        auto message = apiMessage(transfer.errorBody);
        throw EngineFailure::internalError(message ? *message
                                                   : "The model server answered " + std::to_string(transfer.status) + ".");
    }
    if (!transfer.openDestination()) throw *transfer.failure;
    if (::fsync(transfer.fd) != 0) {
        throw MediaFailure::writing(std::make_exception_ptr(SystemError::posix(errno, "sync " + into.string())),
                                    MediaFailure::Phrase{"The speech models"}, into);
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(into, ec)) {
        throw EngineFailure::internalError("The model download ended with nothing to keep.");
    }
    return into;
}

} // namespace

std::optional<std::string> apiMessage(std::string_view body) {
    body = body.substr(0, std::min(body.size(), errorBodyBytes));
    try {
        const JSONValue value = JSONValue::parsing(body);
        const JSONValue* error = value.member("error");
        const JSONValue* message = error ? error->member("message") : nullptr;
        const std::string* text = message ? message->stringPtr() : nullptr;
        if (text && !text->empty()) return *text;
    } catch (...) {
    }
    return std::nullopt;
}

void cancellableSleep(std::chrono::seconds duration) {
    std::mutex lock;
    std::condition_variable_any wake;
    std::unique_lock held(lock);
    wake.wait_for(held, Task::currentToken(), duration, [] { return false; });
    Task::checkCancellation();
}

std::filesystem::path download(const std::string& url, int64_t limit, const std::string& modelId,
                               const ByteReporter& reporter, const std::filesystem::path& into, const Settings& settings) {
    initialiseOnce();
    for (int n = 1;; ++n) {
        try {
            return attempt(url, limit, modelId, reporter, into, settings);
        } catch (const ConnectionLost& lost) {
            if (n == attempts) throw lost.failure;
            const std::chrono::seconds wait(n);
            if (settings.sleep) settings.sleep(wait);
            else cancellableSleep(wait);
        }
    }
}

} // namespace ModelDownload
} // namespace korvel
