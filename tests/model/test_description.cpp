// The description parser as a caller meets it through initVELTNet, its lines captured with
// velt_set_message_handler: refused texts with their exact line (which field, what it holds),
// warnings with their stream and line, accepted texts without a word, each message once per
// initVELTNet, and the memory limit.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_limits.h"
#include "model/description.h"
#include "support/net.h"
#include "veltn.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

// Every line the library writes while alive.
class Messages {
public:
    Messages() { velt_set_message_handler(&Messages::take, this); }
    ~Messages() { velt_set_message_handler(nullptr, nullptr); }
    Lines const& lines() const { return lines_; }

private:
    static void take(void* self, int stream, const char* line) {
        static_cast<Messages*>(self)->lines_.emplace_back(stream, line);
    }
    Lines lines_;
};

struct Outcome {
    bool made;
    uint64_t numel;
    Lines lines;
    std::string last_error;
};

Outcome init(std::string const& text) {
    Outcome o{};
    Messages m;
    void* h = initVELTNet(text.data(), int(text.size()));
    o.made = h != nullptr;
    o.numel = velt_numel(h);
    o.last_error = velt_last_error();
    releaseVELTNet(h);
    o.lines = m.lines();
    return o;
}

const std::string kPrefix = "Error: invalid network data: ";

struct Refused {
    std::string text, line;
};

const std::vector<Refused> kRefused = {
    {"-3 1 3 1 16 3 8 8 softplus sum", "field 1 (numin): \"-3\" is not a non-negative integer"},
    {"3 -1 3 1 16 3 8 8 softplus sum", "field 2 (numout): \"-1\" is not a non-negative integer"},
    {"+3 1 3 1 16 3 8 8 softplus sum", "field 1 (numin): \"+3\" is not a non-negative integer"},
    {"3 1 3 1 16.5 3 8 8 softplus sum", "field 5 (batch): \"16.5\" is not a non-negative integer"},
    {"3 1 3 0x2 16 3 8 8 softplus sum", "field 4 (niter): \"0x2\" is not a non-negative integer"},
    {"3 1 3 1 16 3 8x 8 softplus sum", "field 7 (s_1): \"8x\" is not a non-negative integer"},
    {"3 1 3 1 16 3 -8 8 softplus sum", "field 7 (s_1): \"-8\" is not a non-negative integer"},
    {"3 1 3 1 16 3 8 8e0 softplus sum", "field 8 (s_2): \"8e0\" is not a non-negative integer"},
    {"3 x 3 1 16 3 8 8 softplus sum", "field 2 (numout): \"x\" is not a non-negative integer"},
    {std::string("3\0 1 3 1 16 3 8 8 softplus sum", 30), "field 1 (numin): \"3\\x00\" is not a non-negative integer"},
    {"8589934592 1 3 1 16 3 8 8 softplus sum", "field 1 (numin): \"8589934592\" is larger than 4294967295"},
    {"3 1 3 1 4294967296 3 8 8 softplus sum", "field 5 (batch): \"4294967296\" is larger than 4294967295"},
    {"3 1 3 1 16 3 8589934592 8 softplus sum", "field 7 (s_1): \"8589934592\" is larger than 4294967295"},
    {"0 1 3 1 16 3 8 8 softplus sum", "field 1 (numin) is 0; it must be at least 1"},
    {"3 1 3 1 0 3 8 8 softplus sum", "field 5 (batch) is 0; it must be at least 1"},
    {"", "field 1 (numin) is missing: the description ends after 0 fields"},
    {" \t\n", "field 1 (numin) is missing: the description ends after 0 fields"},
    {"3 1 3 1", "field 5 (batch) is missing: the description ends after 4 fields"},
    {"3 1 3 1 16 3 8", "field 8 (s_2) is missing: the description ends after 7 fields"},
    {"3 1 1 1 16 3 softplus sum", "field 3 (nlayers) is 1; a network needs at least 2 layers"},
    {"3 1 3 1 16 3 0 8 softplus sum", "field 7 (s_1) is 0; a layer width must be at least 1"},
    {"3 1 3 1 16 3 8 softplus sum", "field 8 (s_2): \"softplus\" is not a non-negative integer"},
    {"3 1 4000000000 1 16 3 8 8 softplus sum", "field 9 (s_3): \"softplus\" is not a non-negative integer"},
    {"3 1 3 2 16 3 8 8 softplus sum",
     "field 4 (niter) is 2, which needs the last width s_2 (8) equal to the first s_0 (3)"},
    {"1 1 2 1 1 70000 70000 id sum",
     "layer 0 is too large (70000 x 70000): extents, entries and the parameter count must stay below 2^32"},
    {"1 1 2 100000 1 50000 50000 id sum",
     "layer 1 is too large (5000000000 x 1): extents, entries and the parameter count must stay below 2^32"},
    // A long token is shown cut.
    {"3 1 3 1 16 3 8 " + std::string(60, 'w') + " softplus sum",
     "field 8 (s_2): \"" + std::string(40, 'w') + "...\" is not a non-negative integer"},
};

struct Warned {
    std::string text;
    Lines lines;
};

const std::string kActs = "known names: id, relu, atan, softplus, softplus_shifted, softmax";
const std::string kNoNorm = "without a norm only velt_compute, velt_residual and the parameter functions work";

const std::vector<Warned> kWarned = {
    {"3 1 3 1 16 3 8 8 softplsu sum",
     {{2, "Warning: field 9 (activation): unknown activation \"softplsu\", softplus is used; " + kActs}}},
    {"3 1 2 1 16 3 8 Softplus sum_sq",
     {{2, "Warning: field 8 (activation): unknown activation \"Softplus\", softplus is used; " + kActs}}},
    {"3 1 3 1 16 3 8 8 softplus",
     {{2, "Warning: the description ends before its norm, field 10 (norm): " + kNoNorm}}},
    {"3 1 3 1 16 3 8 8 \n",
     {{2, "Warning: the description ends before its activation and norm, field 9 (activation) and field 10 "
          "(norm): softplus is used, and " + kNoNorm}}},
    {"3 1 3 1 16 3 8 8 softplus L2",
     {{1, "invalid norm function name: L2 (known: sum, sum_log_dnorm_fat, sum_sq, sum_pseudo_huber)"}}},
    // numin above s_0: calls take s_0 columns at most, so the description warns but is kept.
    {"5 1 3 1 16 3 8 8 softplus sum",
     {{2, "Warning: field 1 (numin) is 5, larger than field 6 (s_0), 3: calls take at most 3 input columns"}}},
    {"4294967295 1 2 1 4294967295 1 1 id sum",  // the largest 32-bit header numbers
     {{2, "Warning: field 1 (numin) is 4294967295, larger than field 6 (s_0), 1: calls take at most 1 input "
          "column"}}},
    {"4 1 2 1 16 2 8 relu",
     {{2, "Warning: field 1 (numin) is 4, larger than field 6 (s_0), 2: calls take at most 2 input columns"},
      {2, "Warning: the description ends before its norm, field 9 (norm): " + kNoNorm}}},
    {"3 1 3 1 16 3 8 8 relU sum_SQ",
     {{2, "Warning: field 9 (activation): unknown activation \"relU\", softplus is used; " + kActs},
      {1, "invalid norm function name: sum_SQ (known: sum, sum_log_dnorm_fat, sum_sq, sum_pseudo_huber)"}}},
};

struct Accepted {
    std::string text;
    uint64_t numel;
};

const std::vector<Accepted> kAccepted = {
    {"3 1 3 1 16 3 8 8 softplus sum", 113},
    {"3 1 3 1 16 3 8 8 softmax sum_log_dnorm_fat", 113},
    {"3 1 3 1 16 3 8 8 id sum_sq", 113},
    {"3 1 3 1 16 3 8 8 relu sum_pseudo_huber", 113},
    {"3 1 3 1 16 3 8 8 atan sum_sq", 113},
    {"3 1 3 1 16 3 8 8 softplus_shifted sum_pseudo_huber", 113},
    {"003 01 3 1 16 3 8 8 softplus sum", 113},                       // leading zeros are still decimal
    {"3\t1\r\n3\v1\f16 3 8 8 softplus sum trailing 1 2 -3", 113},  // any white space; trailing tokens ignored
    {"2 3 3 2 16 4 6 4 relu sum_sq", 85},
};

}  // namespace

TEST(DescriptionTable, RefusedTextsGiveNullAndOneLineNamingTheField) {
    for (Refused const& r : kRefused) {
        SCOPED_TRACE("description: \"" + r.text + "\"");
        const Outcome o = init(r.text);
        EXPECT_FALSE(o.made);
        ASSERT_EQ(o.lines.size(), 1u);
        EXPECT_EQ(o.lines[0].first, 2);
        EXPECT_EQ(o.lines[0].second, kPrefix + r.line);
        EXPECT_EQ(o.last_error, kPrefix + r.line);
    }
}

TEST(DescriptionTable, WarningsComeOnceAndTheHandleIsMade) {
    for (Warned const& w : kWarned) {
        SCOPED_TRACE("description: \"" + w.text + "\"");
        const Outcome o = init(w.text);
        EXPECT_TRUE(o.made);
        EXPECT_EQ(o.lines, w.lines);
    }
}

TEST(DescriptionTable, AcceptedTextsAreSilent) {
    for (Accepted const& a : kAccepted) {
        SCOPED_TRACE("description: \"" + a.text + "\"");
        const Outcome o = init(a.text);
        EXPECT_TRUE(o.made);
        EXPECT_EQ(o.numel, a.numel);
        EXPECT_TRUE(o.lines.empty()) << o.lines.front().second;
    }
}

TEST(DescriptionTable, EveryKnownNormBindsAndEveryKnownActivationIsSilent) {
    const double r[3] = {0.5, -1.0, 2.5};
    for (std::string norm : {"sum", "sum_log_dnorm_fat", "sum_sq", "sum_pseudo_huber"}) {
        SCOPED_TRACE(norm);
        EXPECT_TRUE(is_known_norm(norm));
        Net n("2 1 2 1 1 2 1 id " + norm);
        double out = 0;
        EXPECT_EQ(velt_norm(n.h, r, 1, 3, &out), 0);
    }
    for (std::string act : {"id", "relu", "atan", "softplus", "softplus_shifted", "softmax"})
        EXPECT_TRUE(is_known_activation(act)) << act;
}

TEST(DescriptionTable, TheBuildLineComesOncePerInit) {
    const char* old = std::getenv("INFO");
    const std::string saved = old ? old : "";
    setenv("INFO", "1", 1);
    const Outcome ok = init("3 1 3 1 16 3 8 8 softplus sum");
    const Outcome bad = init("3 1 3 1 16 3 8 8 softplsu L2");
    if (old)
        setenv("INFO", saved.c_str(), 1);
    else
        unsetenv("INFO");
    ASSERT_EQ(ok.lines.size(), 1u);
    EXPECT_EQ(ok.lines[0].first, 1);
    EXPECT_EQ(ok.lines[0].second.rfind("VELTN veltn ", 0), 0u) << ok.lines[0].second;
    // Build line, activation warning, norm message: one each.
    ASSERT_EQ(bad.lines.size(), 3u);
    EXPECT_EQ(bad.lines[0], ok.lines[0]);
}

TEST(DescriptionMemory, ALimitSetForTestsRefusesLargerHandlesAndNamesTheSize) {
    set_description_memory_limit(1000000);
    // 91801 parameters: 3 x 300 + 300, 300 x 300 + 300, 300 + 1.
    const Outcome big = init("3 1 3 1 16 3 300 300 id sum");
    const Outcome small = init("3 1 3 1 16 3 30 30 id sum");
    set_description_memory_limit(0);
    EXPECT_FALSE(big.made);
    ASSERT_EQ(big.lines.size(), 1u);
    const std::string& line = big.lines[0].second;
    EXPECT_EQ(line.rfind(kPrefix + "the network has 91801 parameters, and its handle would hold ", 0), 0u) << line;
    // Plain model 8 bytes per parameter, tangent model 16: at least 24 per parameter.
    const std::string bytes = line.substr(line.find('(') + 1);
    EXPECT_GE(std::stoull(bytes), 24u * 91801u) << line;
    EXPECT_NE(line.find("more than the 1.0 MB (1000000 bytes) of the memory limit set for descriptions"),
              std::string::npos)
        << line;
    EXPECT_TRUE(small.made);
    EXPECT_TRUE(small.lines.empty());
    EXPECT_EQ(description_memory_limit(), veltn::process_memory_limit().bytes);
    EXPECT_LE(description_memory_limit(), uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE)));
}

TEST(DescriptionMemory, AHandleBeyondPhysicalMemoryIsRefusedBeforeAllocating) {
    // 3.6e9 parameters pass every 32-bit check; the handle would need more than 86 GB.
    const uint64_t physical = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE));
    if (physical > uint64_t(80) << 30) GTEST_SKIP() << "this machine has more memory than the network needs";
    const Outcome o = init("1 1 2 1 1 60000 60000 id sum");
    EXPECT_FALSE(o.made);
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0].second.rfind(kPrefix + "the network has 3600120001 parameters", 0), 0u) << o.lines[0].second;
    EXPECT_NE(o.lines[0].second.find("of " + veltn::process_memory_limit().name), std::string::npos)
        << o.lines[0].second;
}

namespace {

// VmSize or VmData of this process, in bytes.
uint64_t vm_bytes(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stoull(line.substr(std::strlen(key))) * 1024;
    return 0;
}

}  // namespace

// Under a lowered RLIMIT_AS or RLIMIT_DATA, a description the machine could hold but the process
// could not is refused, naming the limit. The limit is set in a child (a death test), a little
// above what the child already uses, so the test does not depend on the machine's memory.
TEST(DescriptionMemory, TheProcessLimitsCapDescriptionsAndAreNamed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        int resource;
        const char* status_key;
        const char* name;
    } cases[] = {{RLIMIT_AS, "VmSize:", "address-space limit \\(RLIMIT_AS, ulimit -v\\)"},
                 {RLIMIT_DATA, "VmData:", "data limit \\(RLIMIT_DATA, ulimit -d\\)"}};
    const uint64_t physical = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE));
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t limit = vm_bytes(c.status_key) + (uint64_t(512) << 20);
        // A network of width w has about w^2 parameters at 24 bytes each: twice the limit.
        const uint64_t w = uint64_t(std::sqrt(double(limit) / 12.0)) + 1;
        // (Under a sanitizer the address space is mostly shadow: such a limit is out of reach.)
        if (w >= 65536 || 24 * w * w > physical) {
            std::printf("skipped: the network would not fit this machine's memory either\n");
            continue;
        }
        const std::string text = "1 1 2 1 1 " + std::to_string(w) + " " + std::to_string(w) + " id sum";
        const auto child = [&] {
            rlimit lim{};
            lim.rlim_cur = lim.rlim_max = limit;
            if (setrlimit(c.resource, &lim) != 0) std::_Exit(2);
            void* h = initVELTNet(text.data(), int(text.size()));
            std::_Exit(h ? 1 : 0);
        };
        EXPECT_EXIT(child(), testing::ExitedWithCode(0),
                    std::string("handle would hold .* more than the .* of the ") + c.name);
    }
}

// The cgroup limit is read from /proc/self/cgroup, /proc/self/mountinfo and the limit files of
// the process's cgroup and its parents: the smallest applies; "max" and missing files are no limit.
TEST(DescriptionMemory, TheCgroupLimitIsTheSmallestOnThePath) {
    struct Case {
        std::string cgroup, mountinfo;
        std::vector<std::pair<std::string, std::string>> files;  // path under the root, content
        uint64_t bytes;
        std::string name;
    };
    const std::string v2mount = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const std::string v1mount = "31 23 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
                                "35 23 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
    const std::string v2 = "the memory cgroup's limit (memory.max)";
    const std::string v1 = "the memory cgroup's limit (memory.limit_in_bytes)";
    const std::vector<Case> cases = {
        {"0::/a/b\n", v2mount, {{"/sys/fs/cgroup/a/b/memory.max", "max\n"}, {"/sys/fs/cgroup/a/memory.max", "4096\n"}},
         4096, v2},
        {"0::/a/b\n", v2mount, {{"/sys/fs/cgroup/a/b/memory.max", "1000\n"}, {"/sys/fs/cgroup/a/memory.max", "max"}},
         1000, v2},
        {"0::/a\n", v2mount, {{"/sys/fs/cgroup/a/memory.max", "max\n"}}, UINT64_MAX, ""},
        // A container sees its own cgroup mounted as the root.
        {"0::/\n", v2mount, {{"/sys/fs/cgroup/memory.max", "2000000\n"}}, 2000000, v2},
        // A mount of a subtree: the path below the mount's root.
        {"0::/outer/c\n", "30 23 0:26 /outer /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         {{"/sys/fs/cgroup/c/memory.max", "777\n"}}, 777, v2},
        {"4:memory:/x/y\n3:cpu:/\n0::/\n", v1mount,
         {{"/sys/fs/cgroup/memory/x/y/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "123456789\n"}},
         123456789, v1},
        // The cpu hierarchy's files are not memory limits; garbage is no limit.
        {"3:cpu:/x\n4:memory:/x\n", v1mount,
         {{"/sys/fs/cgroup/cpu/x/memory.limit_in_bytes", "5\n"}, {"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "12ab"}},
         UINT64_MAX, ""},
        {"", v2mount, {{"/sys/fs/cgroup/memory.max", "5\n"}}, UINT64_MAX, ""},
    };
    char tmpl[] = "/tmp/veltn_cgroup_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::filesystem::path root = tmpl;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.cgroup + c.mountinfo);
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "proc/self");
        std::ofstream(root / "proc/self/cgroup") << c.cgroup;
        std::ofstream(root / "proc/self/mountinfo") << c.mountinfo;
        for (auto const& [path, content] : c.files) {
            const std::filesystem::path file = root.string() + path;
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file) << content;
        }
        const veltn::MemoryLimit got = veltn::cgroup_memory_limit(root.string());
        EXPECT_EQ(got.bytes, c.bytes);
        EXPECT_EQ(got.name, c.name);
        // The process's limit takes a smaller cgroup limit, with its name.
        const veltn::MemoryLimit all = veltn::process_memory_limit(root.string());
        EXPECT_LE(all.bytes, c.bytes);
        if (c.bytes < (uint64_t(1) << 20)) {
            EXPECT_EQ(all.name, c.name);
        }
    }
    std::filesystem::remove_all(root);
}
