// The description parser as a caller meets it through initVELTNet, its lines captured with
// velt_set_message_handler: refused texts with their exact line (which field, what it holds),
// warnings with their stream and line, accepted texts without a word, each message once per
// initVELTNet, and the memory limit.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_limits.h"
#include "functions/registry.h"
#include "model/description.h"
#include "support/net.h"
#include "veltn.h"

using namespace veltn;

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
    for (auto const& row : norm_rows<Mat, Vec, double>) {
        const std::string norm = row.name;
        SCOPED_TRACE(norm);
        EXPECT_TRUE(is_known_norm(norm));
        Net n("2 1 2 1 1 2 1 id " + norm);
        double out = 0;
        EXPECT_EQ(velt_norm(n.h, r, 1, 3, &out), 0);
    }
    for (auto const& row : activation_rows<Mat, Vec>) {
        EXPECT_TRUE(is_known_activation(row.name)) << row.name;
        const Outcome o = init(std::string("2 1 2 1 1 2 1 ") + row.name + " sum");
        EXPECT_TRUE(o.made && o.lines.empty()) << row.name;
    }
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

// Under a lowered RLIMIT_AS or RLIMIT_DATA (set in a death-test child, 512 MB above what it
// uses), a network of twice that size is refused, naming the limit, whatever the machine has.
TEST(DescriptionMemory, TheProcessLimitsCapDescriptionsAndAreNamed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The address space used so far (VmSize) bounds the data segment too.
    std::ifstream status("/proc/self/status");
    std::string key;
    uint64_t kb = 0;
    while (status >> key && key != "VmSize:") status.ignore(1 << 10, '\n');
    const uint64_t limit = (status >> kb) ? kb * 1024 + (uint64_t(512) << 20) : 0;
    const uint64_t w = uint64_t(std::sqrt(limit / 12.0)) + 1;
    // Out of reach under a sanitizer, whose shadow memory fills the address space.
    if (!kb || w >= 65536 || 24 * w * w > uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE)))
        GTEST_SKIP() << "no limit within reach of this process";
    const std::pair<int, const char*> cases[] = {{RLIMIT_AS, "address-space limit \\(RLIMIT_AS, ulimit -v\\)"},
                                                 {RLIMIT_DATA, "data limit \\(RLIMIT_DATA, ulimit -d\\)"}};
    for (auto const& c : cases) {
        const std::string text = "1 1 2 1 1 " + std::to_string(w) + " " + std::to_string(w) + " id sum";
        const auto child = [&] {
            const rlimit lim{limit, limit};
            if (setrlimit(c.first, &lim) != 0) std::_Exit(2);
            std::_Exit(initVELTNet(text.data(), int(text.size())) ? 1 : 0);
        };
        EXPECT_EXIT(child(), testing::ExitedWithCode(0), std::string("would hold .* more than .* of the ") + c.second);
    }
}

// The smallest memory.max (v2) or memory.limit_in_bytes (v1) from the process's cgroup up to its
// mount's root, read through a fake /proc and /sys; "max" and other controllers' files are no limit.
TEST(DescriptionMemory, TheCgroupLimitIsTheSmallestOnThePath) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    const std::string v2 = "1 0 0:1 / /cg rw - cgroup2 cgroup2 rw\n", v2name = "(memory.max)";
    const std::string v1 = "1 0 0:1 / /cg/cpu rw - cgroup cgroup rw,cpu\n"
                           "2 0 0:2 / /cg/m rw - cgroup cgroup rw,memory\n";
    const struct {
        std::string cgroup, mountinfo;
        Files files;
        uint64_t bytes;
        std::string name;
    } cases[] = {
        {"0::/a/b\n", v2, {{"/cg/a/b/memory.max", "max"}, {"/cg/a/memory.max", "4096"}}, 4096, v2name},
        {"0::/up/c\n", "1 0 0:1 /up /cg rw - cgroup2 cgroup2 rw\n", {{"/cg/c/memory.max", "777"}}, 777,
         v2name},  // a mounted subtree
        {"3:cpu:/x\n4:memory:/x/y\n", v1,
         {{"/cg/cpu/x/memory.limit_in_bytes", "5"}, {"/cg/m/x/y/memory.limit_in_bytes", "12ab"},
          {"/cg/m/x/memory.limit_in_bytes", "123456"}},
         123456, "(memory.limit_in_bytes)"},
    };
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("veltn_cg" + std::to_string(getpid()));
    for (auto const& c : cases) {
        SCOPED_TRACE(c.cgroup);
        std::filesystem::remove_all(root);
        Files files = c.files;
        files.insert(files.end(), {{"/proc/self/cgroup", c.cgroup}, {"/proc/self/mountinfo", c.mountinfo}});
        for (auto const& [path, content] : files) {
            std::filesystem::create_directories(std::filesystem::path(root.string() + path).parent_path());
            std::ofstream(root.string() + path) << content;
        }
        const veltn::MemoryLimit got = veltn::cgroup_memory_limit(root.string());
        EXPECT_EQ(got.bytes, c.bytes);
        EXPECT_NE(got.name.find(c.name), std::string::npos) << got.name;
        // The process's limit takes it too, when smaller than the others.
        const uint64_t others = veltn::process_memory_limit(root.string() + "/none").bytes;
        EXPECT_EQ(veltn::process_memory_limit(root.string()).bytes, std::min(c.bytes, others));
    }
    std::filesystem::remove_all(root);
}
