// Jobs, progress, cancellation and shutdown over an in-process session with
// a test-only method table and a sink that captures every line.

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Concurrency/BlockingExecutor.hpp"
#include "Adapters/Server/EngineSession.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

using namespace korvel;
using namespace std::chrono_literals;

namespace {

struct Captured {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
    bool failing = false;

    Wire::Sink sink() {
        return [this](const std::string& line) {
            std::lock_guard g(lock);
            if (failing) throw std::runtime_error("Broken pipe");
            lines.push_back(line);
            changed.notify_all();
        };
    }
    // Waits for the answer carrying this id.
    std::optional<JSONValue> answer(int64_t id, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock g(lock);
        std::optional<JSONValue> found;
        changed.wait_for(g, timeout, [&] {
            for (const auto& l : lines) {
                auto v = JSONValue::parsing(l);
                if (v.member("id") && v.member("id")->intValue() == id && !v.member("method")) {
                    found = v;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<JSONValue> all() {
        std::lock_guard g(lock);
        std::vector<JSONValue> out;
        for (const auto& l : lines) {
            EXPECT_EQ(l.back(), '\n');
            out.push_back(JSONValue::parsing(l));
        }
        return out;
    }
};

std::string request(int64_t id, const std::string& method, const std::string& params = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + R"(","params":)" + params + "}";
}

// Waits on the job's cancellation the way real jobs do: by checking it.
JSONValue waitForCancel(const JSONValue&, const JobContext&) {
    for (int i = 0; i < 2000; ++i) {
        Task::checkCancellation();
        std::this_thread::sleep_for(5ms);
    }
    return JSONValue("not cancelled");
}

Engine testEngine(std::atomic<int>* priorities = nullptr) {
    Engine engine;
    engine.methods["test.echo"] = [](const JSONValue& params, const JobContext&) { return params; };
    engine.methods["test.fail"] = [](const JSONValue&, const JobContext&) -> JSONValue {
        throw EngineFailure::diskFull("There isn't enough room on the disk for a.mp4.");
    };
    engine.methods["test.crash"] = [](const JSONValue&, const JobContext&) -> JSONValue {
        throw std::runtime_error("something broke");
    };
    engine.methods["test.nan"] = [](const JSONValue&, const JobContext&) { return JSONValue(std::nan("")); };
    engine.methods["test.wait"] = waitForCancel;
    engine.methods["test.ignoreCancel"] = [](const JSONValue&, const JobContext&) {
        while (!Task::isCancelled()) std::this_thread::sleep_for(1ms);
        return JSONValue("done anyway");
    };
    engine.methods["test.progress"] = [](const JSONValue&, const JobContext& context) {
        for (int i = 0; i < 50; ++i) context.report({EngineProgress::Phase::render, EngineProgress::Unit::frames, i, 50});
        context.report({EngineProgress::Phase::analyze, EngineProgress::Unit::bytes, 7, std::nullopt});
        return JSONValue(true);
    };
    engine.methods["test.priority"] = [priorities](const JSONValue&, const JobContext&) {
        if (priorities) priorities->fetch_add(BlockingExecutor::currentPriority() == TaskPriority::background ? 1 : 100);
        return JSONValue(BlockingExecutor::currentPriority() == TaskPriority::background ? "background" : "user");
    };
    engine.methods["models.install"] = engine.methods["test.priority"];
    return engine;
}

} // namespace

TEST(EngineSession, AnswersEveryJobOnce) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    session.receive(request(1, "test.echo", R"({"a/b":[1,2.5]})"));
    session.receive(request(2, "test.fail"));
    session.receive(request(3, "test.crash"));
    session.receive(request(4, "test.nan"));
    EXPECT_EQ(out.answer(1)->canonical(), R"({"id":1,"jsonrpc":"2.0","result":{"a/b":[1,2.5]}})");
    EXPECT_EQ(out.answer(2)->canonical(),
              R"({"error":{"code":-32004,"message":"There isn't enough room on the disk for a.mp4."},"id":2,"jsonrpc":"2.0"})");
    EXPECT_EQ(*out.answer(3)->member("error")->member("code"), JSONValue(-32603));
    EXPECT_EQ(*out.answer(3)->member("error")->member("message"), JSONValue("something broke"));
    // A result JSON cannot hold still gets an answer.
    EXPECT_EQ(*out.answer(4)->member("error")->member("code"), JSONValue(-32603));
    EXPECT_TRUE(session.stop(5s));
    EXPECT_EQ(out.all().size(), 4u);
    EXPECT_EQ(session.jobs().registeredCount(), 0u);
    EXPECT_EQ(session.jobs().finishedCount(), 0u);
    EXPECT_EQ(gate.waitedOn(), 0);
}

TEST(EngineSession, ProgressLinesComeBeforeTheAnswerAndStayWhole) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    for (int id = 1; id <= 4; ++id) session.receive(request(id, "test.progress"));
    for (int id = 1; id <= 4; ++id) ASSERT_TRUE(out.answer(id));
    session.stop(5s);
    std::map<int64_t, int> progressCount;
    std::set<int64_t> answered;
    for (const auto& line : out.all()) {
        if (line.member("method")) {
            const auto& params = *line.member("params");
            int64_t id = *params.member("id")->intValue();
            EXPECT_FALSE(answered.count(id)) << "progress after the answer";
            ++progressCount[id];
            EXPECT_TRUE(params.member("total"));
        } else {
            answered.insert(*line.member("id")->intValue());
        }
    }
    for (int id = 1; id <= 4; ++id) EXPECT_EQ(progressCount[id], 51);
    EXPECT_EQ(out.all()[50].canonical(), out.all()[50].canonical());
}

TEST(EngineSession, CancelAnswersCancelledOnlyForIntegerIds) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    session.receive(request(7, "test.wait"));
    session.receive(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":"7"}})");
    session.receive(R"({"jsonrpc":"2.0","method":"$/cancel","params":{}})");
    EXPECT_FALSE(out.answer(7, 100ms));
    session.receive(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":7}})");
    EXPECT_EQ(out.answer(7)->canonical(), R"({"error":{"code":-32800,"message":"Cancelled."},"id":7,"jsonrpc":"2.0"})");
    // A job that returns after it was cancelled answers what it returned:
    // its output may already be in place.
    session.receive(request(8, "test.ignoreCancel"));
    std::this_thread::sleep_for(20ms);
    session.receive(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":8}})");
    auto returned = out.answer(8);
    ASSERT_TRUE(returned && returned->member("result")) << (returned ? returned->canonical() : "no answer");
    EXPECT_EQ(*returned->member("result"), JSONValue("done anyway"));
    EXPECT_TRUE(session.stop(5s));
    EXPECT_EQ(out.all().size(), 2u);
}

// The answer is what the job ended with, whenever the cancel landed: a job
// that returned has done its work (a picture renamed into place stays), so
// only a job that throws Cancelled answers -32800.
TEST(EngineSession, AJobEndingAfterItsCancelAnswersHowItEnded) {
    struct Case {
        std::string method;
        std::string answer;
    };
    const Case cases[] = {
        {"test.returns", R"({"id":1,"jsonrpc":"2.0","result":"written"})"},
        {"test.throwsCancelled", R"({"error":{"code":-32800,"message":"Cancelled."},"id":2,"jsonrpc":"2.0"})"},
        {"test.fails", R"({"error":{"code":-32003,"message":"a.jpg could not be written."},"id":3,"jsonrpc":"2.0"})"},
    };
    Engine engine;
    // Each job ends only once its cancel is in: no race with the cancel.
    auto afterCancel = [](auto end) {
        return [end](const JSONValue&, const JobContext&) -> JSONValue {
            while (!Task::isCancelled()) std::this_thread::yield();
            return end();
        };
    };
    engine.methods["test.returns"] = afterCancel([] { return JSONValue("written"); });
    engine.methods["test.throwsCancelled"] = afterCancel([]() -> JSONValue { throw Cancelled(); });
    engine.methods["test.fails"] = afterCancel([]() -> JSONValue {
        throw EngineFailure::writeFailed("a.jpg could not be written.");
    });
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(std::move(engine), gate, out.sink());
    int64_t id = 0;
    for (const auto& c : cases) {
        session.receive(request(++id, c.method));
        session.receive(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":)" + std::to_string(id) + "}}");
        auto answer = out.answer(id);
        ASSERT_TRUE(answer) << c.method;
        EXPECT_EQ(answer->canonical(), c.answer);
    }
    EXPECT_TRUE(session.stop(5s));
    EXPECT_EQ(out.all().size(), 3u);
}

// Both carriers hand the session whole lines; an empty one is no message.
TEST(EngineSession, AnEmptyLineIsSkipped) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    session.receive("");
    session.receive(request(1, "test.echo", "1"));
    ASSERT_TRUE(out.answer(1));
    EXPECT_TRUE(session.stop(5s));
    EXPECT_EQ(out.all().size(), 1u);
}

TEST(EngineSession, StopCancelsRunningJobsAndWaits) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    session.receive(request(1, "test.wait"));
    session.receive(request(2, "test.wait"));
    EXPECT_TRUE(session.stop(5s));
    EXPECT_EQ(*out.answer(1)->member("error")->member("code"), JSONValue(-32800));
    EXPECT_EQ(*out.answer(2)->member("error")->member("code"), JSONValue(-32800));
}

TEST(EngineSession, StopWithNothingRunningReturnsAtOnce) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(session.stop(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(EngineSession, PriorityFollowsTheParams) {
    struct Case {
        std::string method, params, expected;
    };
    const Case cases[] = {
        {"test.priority", "{}", "user"},
        {"test.priority", R"({"priority":"background"})", "background"},
        {"test.priority", R"({"priority":"Background"})", "user"},
        {"test.priority", R"({"priority":1})", "user"},
        {"models.install", R"({"priority":"user"})", "background"},
    };
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    int id = 0;
    for (const auto& c : cases) {
        session.receive(request(++id, c.method, c.params));
        auto answer = out.answer(id);
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer->member("result"), JSONValue(c.expected)) << c.method << c.params;
    }
    session.stop(5s);
}

TEST(EngineSession, BackgroundRequestsDoNotHoldTheGate) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    session.receive(request(1, "test.wait", R"({"priority":"background"})"));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gate.waitedOn(), 0);
    session.receive(request(2, "test.wait"));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(gate.waitedOn(), 1);
    session.stop(5s);
    EXPECT_EQ(gate.waitedOn(), 0);
}

TEST(EngineSession, ClosedPipeForJobAnswersIsOnlyADiagnostic) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    out.failing = true;
    session.receive(request(1, "test.echo"));
    EXPECT_TRUE(session.stop(5s));
    // A direct answer that can't be written leaves receive as an error.
    EXPECT_THROW(session.receive("{"), std::runtime_error);
}

TEST(RunningJobs, JobEndingBeforeRegistrationLeavesNothing) {
    RunningJobs jobs;
    jobs.finish(3);
    EXPECT_EQ(jobs.finishedCount(), 1u);
    jobs.registerTask(3, std::make_shared<std::stop_source>());
    EXPECT_EQ(jobs.finishedCount(), 0u);
    EXPECT_EQ(jobs.registeredCount(), 0u);
}

TEST(EngineSession, GraceRunningOutLeavesStubbornJobsBehind) {
    Captured out;
    BackgroundGate gate(0.0);
    Engine engine;
    std::atomic<bool> release{false};
    engine.methods["test.stubborn"] = [&release](const JSONValue&, const JobContext&) {
        while (!release) std::this_thread::sleep_for(1ms);
        return JSONValue(1);
    };
    EngineSession session(std::move(engine), gate, out.sink());
    session.receive(request(1, "test.stubborn"));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(session.stop(50ms));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "korvel-engine: jobs still running at shutdown\n");
    release = true;
    EXPECT_TRUE(session.jobs().waitUntil(std::chrono::steady_clock::now() + 5s));
    // It returned: its result is the answer, however late.
    EXPECT_EQ(out.answer(1)->canonical(), R"({"id":1,"jsonrpc":"2.0","result":1})");
}

// When the system refuses a thread, that request alone is answered -32603
// and every count it entered is left again.
TEST(EngineSession, RefusedThreadIsThatRequestsInternalError) {
    Captured out;
    BackgroundGate gate(0.0);
    BlockingExecutor refusing(4, [](std::function<void()>) {
        throw std::system_error(EAGAIN, std::generic_category(), "could not start a thread");
    });
    EngineSession session(testEngine(), gate, out.sink(), refusing);
    session.receive(request(1, "test.echo"));
    session.receive(request(2, "test.priority", R"({"priority":"background"})"));
    for (int64_t id : {1, 2}) {
        auto answer = out.answer(id, 1s);
        ASSERT_TRUE(answer) << id;
        EXPECT_EQ(*answer->member("error")->member("code"), JSONValue(-32603));
    }
    EXPECT_EQ(gate.waitedOn(), 0);
    EXPECT_EQ(session.jobs().registeredCount(), 0u);
    EXPECT_EQ(session.jobs().finishedCount(), 0u);
    EXPECT_TRUE(session.stop(0s));
    EXPECT_EQ(out.all().size(), 2u);
}

// Ids are the client's and may repeat: the short request's end must not
// take the long one's entry, nor keep a later namesake from registering.
TEST(EngineSession, ReusedIdsStayCancellable) {
    Captured out;
    BackgroundGate gate(0.0);
    EngineSession session(testEngine(), gate, out.sink());
    const std::string cancel = R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":5}})";
    session.receive(request(5, "test.wait"));
    session.receive(request(5, "test.echo", R"("short")"));
    auto answers = [&] {
        std::vector<JSONValue> found;
        for (auto& v : out.all())
            if (v.member("id") && v.member("id")->intValue() == 5) found.push_back(v);
        return found;
    };
    for (int i = 0; i < 500 && answers().empty(); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(*answers()[0].member("result"), JSONValue("short"));
    EXPECT_EQ(session.jobs().registeredCount(), 1u);
    session.receive(cancel);
    for (int i = 0; i < 500 && answers().size() < 2; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(*answers()[1].member("error")->member("code"), JSONValue(-32800));

    // A later request with the same id is registered and cancellable.
    for (int i = 0; i < 500 && session.jobs().registeredCount() > 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(session.jobs().finishedCount(), 0u);
    session.receive(request(5, "test.wait"));
    for (int i = 0; i < 500 && session.jobs().registeredCount() < 1; ++i) std::this_thread::sleep_for(5ms);
    session.receive(cancel);
    for (int i = 0; i < 500 && answers().size() < 3; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(answers().size(), 3u);
    EXPECT_EQ(*answers()[2].member("error")->member("code"), JSONValue(-32800));
    EXPECT_TRUE(session.stop(5s));
}

// Two running requests with one id: a cancel reaches the later one first,
// a second cancel the earlier one.
TEST(RunningJobs, CancelReachesTheLatestUncancelledNamesake) {
    RunningJobs jobs;
    auto first = std::make_shared<std::stop_source>();
    auto second = std::make_shared<std::stop_source>();
    jobs.registerTask(5, jobs.nextNumber(), first);
    jobs.registerTask(5, jobs.nextNumber(), second);
    jobs.cancel(5);
    EXPECT_FALSE(first->stop_requested());
    EXPECT_TRUE(second->stop_requested());
    jobs.cancel(5);
    EXPECT_TRUE(first->stop_requested());
    EXPECT_EQ(jobs.registeredCount(), 2u);
}
