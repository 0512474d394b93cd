// The one message path: every line the library writes reaches a host's handler, with its
// stream, on the thread that made the call, and nothing reaches the process's streams while a
// handler is set. Without one, the lines go to the streams as before.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/messages.h"
#include "core/parallel.h"
#include "support/net.h"
#include "veltn.h"

using namespace veltn;

namespace {

struct Line {
    int stream;
    std::string text;
    std::thread::id thread;
};

// Installs itself for its lifetime and records every line.
class Recorder {
public:
    Recorder() { velt_set_message_handler(&Recorder::take, this); }
    ~Recorder() { velt_set_message_handler(nullptr, nullptr); }
    std::vector<Line> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    static void take(void* self, int stream, const char* line) {
        auto* r = static_cast<Recorder*>(self);
        std::lock_guard<std::mutex> lock(r->mutex_);
        r->lines_.push_back({stream, line, std::this_thread::get_id()});
    }
    std::mutex mutex_;
    std::vector<Line> lines_;
};

class ScopedEnv {
public:
    explicit ScopedEnv(const char* name) : name_(name) { setenv(name, "1", 1); }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

bool starts_with(std::string const& s, std::string const& prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

TEST(Messages, EveryKindOfLineReachesTheHandlerWithItsStreamAndNoneTheStreams) {
    const std::string description = "3 1 3 1 16 3 8 8 softplus sum";
    Net n(description);
    const unsigned P = n.numel();
    velt_setpar(n.h, 2, 8);  // worker threads take part in every call below
    const auto w = random_vector(P, 1, 0.3), X = random_vector(60, 2), Y = random_vector(20, 3),
               V = random_vector(2 * P, 4);
    std::vector<double> g(P), Hv(2 * P), res(20), Jv(40);
    double J = 0;

    std::string out, err;
    std::vector<Line> lines;
    {
        CaptureFd co(1), ce(2);
        Recorder rec;
        {
            ScopedEnv info("INFO");
            void* h = initVELTNet(description.data(), int(description.size()));
            releaseVELTNet(h);
        }
        {
            ScopedEnv trace("NN_TRACE");
            EXPECT_EQ(velt_Hv(n.h, w.data(), P, V.data(), 2, X.data(), Y.data(), 20, 3, 1, &J, g.data(), Hv.data()), 0);
            EXPECT_EQ(velt_Jv(n.h, w.data(), P, V.data(), 2, X.data(), Y.data(), 20, 3, 1, res.data(), Jv.data()), 0);
            EXPECT_EQ(velt_vJ(n.h, w.data(), P, Y.data(), 0, X.data(), Y.data(), 20, 3, 1, res.data(), g.data()), 0);
        }
        const std::string bad_norm = "3 1 3 1 16 3 8 8 softplus nonorm";
        releaseVELTNet(initVELTNet(bad_norm.data(), int(bad_norm.size())));
        EXPECT_EQ(velt_obj(n.h, w.data(), P, X.data(), Y.data(), 20, 4, 1, &J), -1);  // too many predicates
        EXPECT_EQ(velt_obj(n.h, w.data(), P - 1, X.data(), Y.data(), 20, 3, 1, &J), -1);
        lines = rec.lines();
        out = co.text();
        err = ce.text();
    }
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    struct Want {
        int stream;
        std::string prefix;
    } const wanted[] = {
        {1, "VELTN veltn "},                                       // INFO build line
        {1, "J = "}, {1, "J = "}, {1, "J = "},                    // NN_TRACE of Hv, Jv, vJ
        {1, "invalid norm function name: nonorm"},                 // parser
        {2, "too many predicates: 4 > 3"},                         // plain failure line
        {2, "velt_obj: the parameter vector holds"},               // failure line with the function
    };
    // The parser's lines may come once per model it builds: keep one of each.
    std::vector<Line> once;
    for (Line const& l : lines)
        if (once.empty() || l.text != once.back().text ||
            !(starts_with(l.text, "VELTN veltn ") || starts_with(l.text, "invalid norm")))
            once.push_back(l);
    ASSERT_EQ(once.size(), std::size(wanted));
    std::size_t i = 0;
    for (Want const& want : wanted) {
        EXPECT_EQ(once[i].stream, want.stream) << once[i].text;
        EXPECT_TRUE(starts_with(once[i].text, want.prefix)) << once[i].text << " vs " << want.prefix;
        EXPECT_EQ(once[i].text.find('\n'), std::string::npos);
        EXPECT_EQ(once[i].thread, std::this_thread::get_id()) << once[i].text;
        ++i;
    }
    EXPECT_EQ(std::string(velt_last_error()), lines.back().text);
}

TEST(Messages, LinesOfWorkerThreadsArePassedOnByTheCallingThreadAfterTheRegion) {
    Recorder rec;
    std::vector<std::thread::id> ran_on(4);
    parallel_region(4, [&](unsigned slot, unsigned) {
        ran_on[slot] = std::this_thread::get_id();
        veltn::emit(veltn::kStderr, "slot " + std::to_string(slot));
    });
    const auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 4u);
    std::vector<bool> seen(4, false);
    for (Line const& l : lines) {
        EXPECT_EQ(l.thread, std::this_thread::get_id());
        EXPECT_EQ(l.stream, 2);
        ASSERT_TRUE(starts_with(l.text, "slot "));
        seen[std::stoul(l.text.substr(5))] = true;
    }
    EXPECT_EQ(seen, std::vector<bool>(4, true));
}

TEST(Messages, WithoutAHandlerLinesGoToTheStreamsAgain) {
    Net n("3 1 3 1 16 3 8 8 softplus sum");
    double J;
    { Recorder rec; }  // installed, then reset to the default
    CaptureFd ce(2);
    EXPECT_EQ(velt_obj(n.h, nullptr, 0, nullptr, nullptr, 1, 3, 1, &J), -1);
    const std::string err = ce.text();
    EXPECT_EQ(err, std::string(velt_last_error()) + "\n");
}

namespace {

// A host's handler state: `alive` is cleared (the poison a host's free would be) right after
// the handler that uses it has been replaced. A call that sees it cleared ran past the change.
struct Sink {
    std::atomic<bool> alive{true};
    std::atomic<long> calls{0};
    std::atomic<long>* late = nullptr;
    static void take(void* user, int, const char*) {
        auto* s = static_cast<Sink*>(user);
        if (!s->alive.load()) s->late->fetch_add(1);
        s->calls.fetch_add(1);
        std::this_thread::yield();  // a slow host: the call stays under way for a while
        if (!s->alive.load()) s->late->fetch_add(1);
    }
};

}  // namespace

// Two threads write lines all along while a third changes the handler (and at times resets it)
// and poisons the replaced one's state as soon as the change returns.
TEST(Messages, ChangingTheHandlerWaitsForTheCallsOfTheOldOne) {
    std::atomic<long> late{0}, calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            while (!stop.load()) velt_message(2, "a line");
        });
    std::vector<std::unique_ptr<Sink>> sinks;
    for (int i = 0; i < 2000; ++i) {
        sinks.push_back(std::make_unique<Sink>());
        sinks.back()->late = &late;
        const bool reset = i % 5 == 4;
        velt_set_message_handler(reset ? nullptr : &Sink::take, reset ? nullptr : sinks.back().get());
        if (i > 0) sinks[i - 1]->alive = false;
        // Let the writers reach the new handler before it is replaced in turn.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
        while (!reset && sinks.back()->calls.load() < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
    }
    velt_set_message_handler(nullptr, nullptr);
    sinks.back()->alive = false;
    stop = true;
    for (auto& t : writers) t.join();
    for (auto const& s : sinks) calls += s->calls.load();
    EXPECT_GT(calls.load(), 100);
    EXPECT_EQ(late.load(), 0) << "of " << calls.load() << " handler calls";
}

namespace {
// Writes a line of its own through the library, then, on its first line on each thread,
// replaces itself: neither may deadlock, also when two threads do it at once.
std::atomic<int> nested_lines{0};
void reentrant(void*, int, const char* line) {
    if (std::string(line) == "nested") {
        nested_lines.fetch_add(1);
        return;
    }
    velt_message(1, "nested");
    thread_local bool replaced = false;
    if (!replaced) {
        replaced = true;
        velt_set_message_handler(&reentrant, nullptr);
    }
}
}  // namespace

TEST(Messages, AHandlerMayWriteLinesAndChangeTheHandler) {
    velt_set_message_handler(&reentrant, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) velt_message(2, "outer");
        });
    for (auto& t : threads) t.join();
    velt_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(nested_lines.load(), 4 * 50);
}
