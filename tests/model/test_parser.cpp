// The network description: shapes built from it, whitespace and trailing tokens, the length
// argument, invalid descriptions (NULL with one line on standard error), unknown names (one line
// each), and the build line printed when INFO is set. The full table of refusals and warnings is
// in test_description.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "api/handle.h"
#include "model/mknn.h"
#include "support/net.h"
#include "veltn.h"

using namespace veltn;

namespace {

PlainNN const& model_of(void* h) { return static_cast<VELTN::VELTNInfo*>(h)->model; }

struct Made {
    void* h;
    std::string out, err;
};

// initVELTNet with standard output and error captured.
Made make(std::string const& text) {
    Made m{};
    CaptureFd o(1), e(2);
    m.h = initVELTNet(text.data(), int(text.size()));
    m.out = o.text();
    m.err = e.text();
    return m;
}

std::vector<std::string> lines(std::string const& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

// The description must be refused: NULL, exactly one line on standard error (starting with
// `line` when given), nothing on standard output.
void expect_refused(std::string const& text, std::string const& line = "") {
    SCOPED_TRACE("description: \"" + text + "\"");
    const Made m = make(text);
    EXPECT_EQ(m.h, nullptr);
    releaseVELTNet(m.h);
    EXPECT_EQ(m.out, "");
    ASSERT_FALSE(m.err.empty());
    EXPECT_EQ(m.err.back(), '\n');
    EXPECT_EQ(lines(m.err).size(), 1u) << m.err;
    if (!line.empty()) {
        EXPECT_EQ(m.err.rfind(line, 0), 0u) << m.err;
    }
}

struct EnvVar {
    std::string name;
    bool had;
    std::string old;
    EnvVar(const char* n, const char* value) : name(n) {
        const char* o = std::getenv(n);
        had = o != nullptr;
        if (had) old = o;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~EnvVar() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

// "VELTN veltn Mmm dd yyyy hh:mm:ss x86-64", the date and time as __DATE__ and __TIME__ give
// them (a day below 10 is padded with a space).
bool is_build_line(std::string const& l) {
    const std::string head = "VELTN veltn ", tail = " x86-64";
    if (l.size() != head.size() + 11 + 1 + 8 + tail.size()) return false;
    if (l.compare(0, head.size(), head) != 0 || l.compare(l.size() - tail.size(), tail.size(), tail) != 0) return false;
    const std::string date = l.substr(head.size(), 11), time = l.substr(head.size() + 12, 8);
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    bool ok = months.find(date.substr(0, 3)) % 3 == 0 && months.find(date.substr(0, 3)) != std::string::npos;
    ok = ok && date[3] == ' ' && (date[4] == ' ' || digit(date[4])) && digit(date[5]) && date[6] == ' ';
    for (int i = 7; i < 11; ++i) ok = ok && digit(date[i]);
    ok = ok && l[head.size() + 11] == ' ';
    for (int i = 0; i < 8; ++i) ok = ok && (i == 2 || i == 5 ? time[i] == ':' : digit(time[i]));
    return ok;
}

}  // namespace

TEST(Description, ExampleBuildsTheStatedShapes) {
    const Made m = make("3 1 3 1 16 3 8 8 softplus sum");
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.out, "");
    EXPECT_EQ(m.err, "");
    PlainNN const& nn = model_of(m.h);
    EXPECT_EQ(nn.nlayers, 3u);
    EXPECT_EQ(velt_numin(m.h), 3u);
    EXPECT_EQ(velt_numout(m.h), 1u);
    const unsigned want[3][2] = {{3, 8}, {8, 8}, {8, 1}};
    for (uint32_t l = 0; l < 3; ++l) {
        uint32_t r = 0, c = 0, n = 0;
        EXPECT_EQ(velt_weights(m.h, l, nullptr, &r, &c), 0);
        EXPECT_EQ(r, want[l][0]) << "layer " << l;
        EXPECT_EQ(c, want[l][1]) << "layer " << l;
        EXPECT_EQ(velt_bias(m.h, l, nullptr, &n), 0);
        EXPECT_EQ(n, want[l][1]) << "layer " << l;
    }
    // The 5th number has no effect: every handle starts with 32 rows per batch and 1 thread.
    EXPECT_EQ(nn.batch, 32u);
    EXPECT_EQ(nn.nthreads, 1u);
    releaseVELTNet(m.h);
    Net other("3 1 3 1 1000 3 8 8 softplus sum");
    ASSERT_NE(other.h, nullptr);
    EXPECT_EQ(model_of(other.h).batch, 32u);
}

TEST(Description, SecondIterationWidensTheOutputLayer) {
    Net n("2 3 3 2 16 4 6 4 relu sum");
    ASSERT_NE(n.h, nullptr);
    uint32_t r = 0, c = 0;
    ASSERT_EQ(velt_weights(n.h, 2, nullptr, &r, &c), 0);
    EXPECT_EQ(r, 8u);
    EXPECT_EQ(c, 3u);
    // 6 + 24 + 4 + 24 + 3 + 24
    EXPECT_EQ(velt_numel(n.h), 85u);
}

TEST(Description, TabsAndLineBreaksSeparateTokensAndTrailingTokensAreIgnored) {
    Net plain("3 1 3 1 16 3 8 8 atan sum_log_dnorm_fat");
    const Made m = make("3\t1\n3 \r\n 1\t\t16\n3 8 8\natan\n\tsum_log_dnorm_fat extra 1 2 3\n");
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.out, "");
    EXPECT_EQ(m.err, "");
    EXPECT_EQ(velt_numel(m.h), 113u);
    EXPECT_EQ(model_of(m.h).actname, "atan");
    EXPECT_EQ(model_of(m.h).normname, "sum_log_dnorm_fat");
    // Same network as the single-line description.
    const auto par = random_vector(113, 5, 0.4);
    const auto X = random_vector(12, 6);
    const std::vector<double> Y = {0.1, -0.2, 0.3, 0.4};
    double a = 0, b = 0;
    ASSERT_EQ(velt_obj(m.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, &a), 0);
    ASSERT_EQ(velt_obj(plain.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, &b), 0);
    EXPECT_EQ(a, b);
    releaseVELTNet(m.h);
}

TEST(Description, OnlyLengthBytesAreRead) {
    // No NUL at the end, and the bytes after `length` would change the norm name.
    const char text[] = {'3', ' ', '1', ' ', '2', ' ', '1', ' ', '1', ' ', '3', ' ', '1', ' ',
                         'i', 'd', ' ', 's', 'u', 'm', 'X', 'Y', 'Z'};
    void* h = initVELTNet(text, 20);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(model_of(h).normname, "sum");
    EXPECT_EQ(velt_numel(h), 6u);  // 1 + 3 + 1 + 1
    releaseVELTNet(h);
}

TEST(Description, ZeroOrUnreadableHeaderNumberIsRefused) {
    const std::string line = "Error: invalid network data";
    expect_refused("0 1 3 1 16 3 8 8 softplus sum", line);
    expect_refused("3 0 3 1 16 3 8 8 softplus sum", line);
    expect_refused("3 1 0 1 16 3 8 8 softplus sum", line);
    expect_refused("3 1 3 0 16 3 8 8 softplus sum", line);
    expect_refused("3 1 3 1 0 3 8 8 softplus sum", line);
    expect_refused("3 x 3 1 16 3 8 8 softplus sum", line);
    expect_refused("3 1 3 1 sixteen 3 8 8 softplus sum", line);
    // 2^33 does not fit 32 bits: the stream fails and every later number reads as 0.
    expect_refused("8589934592 1 3 1 16 3 8 8 softplus sum", line);
    expect_refused("3 1 3 1", line);
    expect_refused("", line);
}

TEST(Description, InconsistentNetworksAreRefusedWithOneLine) {
    expect_refused("3 1 1 1 16 3 softplus sum");               // nlayers below 2
    expect_refused("3 1 3 1 16 3 0 8 softplus sum");           // a zero width
    expect_refused("3 1 3 1 16 3 8 softplus sum");             // a width missing: the name is unreadable
    expect_refused("3 1 3 1 16 3 8589934592 8 softplus sum");  // a 33-bit width
    expect_refused("3 1 3 2 16 3 8 8 softplus sum");           // niter 2 with last width 8 != 3
}

TEST(Description, ALayerCountFarBeyondTheListedWidthsIsRefused) {
    // Four billion declared layers, three widths given: the missing widths make the description
    // invalid, which must be found without allocating or reading every declared layer (a parser
    // that does would run into the test's time-out or out of memory).
    expect_refused("3 1 4000000000 1 16 3 8 8 softplus sum");
}

TEST(Description, InvalidArgumentsGiveNull) {
    {
        CaptureFd e(2);
        EXPECT_EQ(initVELTNet(nullptr, 5), nullptr);
        EXPECT_EQ(lines(e.text()).size(), 1u);
    }
    const std::string t = "3 1 3 1 16 3 8 8 softplus sum";
    {
        CaptureFd e(2);
        EXPECT_EQ(initVELTNet(t.data(), -1), nullptr);
        EXPECT_EQ(lines(e.text()).size(), 1u);
    }
    {
        CaptureFd e(2);
        EXPECT_EQ(initVELTNet(nullptr, 0), nullptr);  // an empty description
    }
    releaseVELTNet(nullptr);  // ignored
}

TEST(Description, UnknownActivationSelectsSoftplusWithOneWarning) {
    const std::string rest = "2 2 3 1 16 2 5 5 ";
    const auto par = random_vector(velt_numel(Net(rest + "id sum").h), 21, 0.8);
    const auto X = random_vector(6 * 2, 22, 2.0);
    auto outputs = [&](std::string const& act, std::string* out = nullptr, std::string* err = nullptr) {
        Made m = make(rest + act + " sum");
        if (out) *out = m.out;
        if (err) *err = m.err;
        std::vector<double> F(12, NAN);
        EXPECT_NE(m.h, nullptr) << act;
        EXPECT_EQ(velt_compute(m.h, par.data(), uint32_t(par.size()), X.data(), 6, 2, 0, F.data()), 0) << act;
        releaseVELTNet(m.h);
        return F;
    };
    std::string out, err;
    const auto softplus_F = outputs("softplus");
    EXPECT_EQ(outputs("Softplus", &out, &err), softplus_F);
    EXPECT_EQ(out, "");
    ASSERT_EQ(lines(err).size(), 1u) << err;
    EXPECT_EQ(err.rfind("Warning: field 9 (activation): unknown activation \"Softplus\"", 0), 0u) << err;
    EXPECT_EQ(outputs("softmax", &out, &err), softplus_F);
    EXPECT_EQ(err, "");  // a known name
    EXPECT_EQ(outputs("softmax"), softplus_F);
    EXPECT_NE(outputs("id"), softplus_F);
    EXPECT_NE(outputs("relu"), softplus_F);
}

TEST(Description, UnknownNormGivesAHandleAndAMessageOnStandardOutput) {
    const Made m = make("3 1 3 1 16 3 8 8 softplus L2");
    ASSERT_NE(m.h, nullptr);
    EXPECT_EQ(m.err, "");
    // One line per initVELTNet, although the handle holds two models.
    const auto ls = lines(m.out);
    ASSERT_EQ(ls.size(), 1u) << m.out;
    EXPECT_EQ(ls[0].rfind("invalid norm function name: L2 (known: ", 0), 0u) << ls[0];
    EXPECT_EQ(m.out.back(), '\n');

    const auto par = random_vector(113, 3, 0.5);
    const std::vector<double> X = {0.1, 0.2, 0.3, -1, 2, 0.5};
    const std::vector<double> Y = {1.0, 2.0};
    double F[2] = {NAN, NAN}, res[2] = {NAN, NAN};
    EXPECT_EQ(velt_compute(m.h, par.data(), 113, X.data(), 2, 3, 0, F), 0);
    EXPECT_TRUE(std::isfinite(F[0]) && std::isfinite(F[1]));
    EXPECT_EQ(velt_residual(m.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, res), 0);
    EXPECT_EQ(res[0], F[0] - 1.0);
    EXPECT_EQ(res[1], F[1] - 2.0);
    EXPECT_EQ(velt_setweights(m.h, par.data(), 113), 0);
    EXPECT_EQ(velt_numel(m.h), 113u);

    // Entry points that need the norm refuse with one line and leave the outputs alone.
    double J = 123.0, terms[2] = {5.0, 6.0}, r[2] = {0.5, 0.25};
    auto one_line_and = [&](const char* name, auto call) {
        SCOPED_TRACE(name);
        CaptureFd e(2);
        EXPECT_EQ(call(), -1);
        const std::string err = e.text();
        EXPECT_EQ(lines(err).size(), 1u) << err;
        EXPECT_NE(err.find(name), std::string::npos) << err;
    };
    one_line_and("velt_obj", [&] { return velt_obj(m.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &J); });
    one_line_and("velt_objv", [&] { return velt_objv(m.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, terms); });
    one_line_and("velt_norm", [&] { return velt_norm(m.h, r, 1, 2, &J); });
    one_line_and("velt_logp", [&] { return velt_logp(m.h, r, 2, terms); });
    EXPECT_EQ(J, 123.0);
    EXPECT_EQ(terms[0], 5.0);
    EXPECT_EQ(terms[1], 6.0);
    releaseVELTNet(m.h);
}

TEST(Description, BuildLineWithInfoSet) {
    {
        EnvVar info("INFO", nullptr);
        const Made m = make("3 1 3 1 16 3 8 8 softplus sum");
        EXPECT_EQ(m.out, "");
        releaseVELTNet(m.h);
    }
    {
        EnvVar info("INFO", "");  // set, whatever its value
        const Made m = make("3 1 3 1 16 3 8 8 softplus sum");
        ASSERT_NE(m.h, nullptr);
        EXPECT_EQ(m.err, "");
        // One line per initVELTNet, although the handle holds two models.
        const auto ls = lines(m.out);
        ASSERT_EQ(ls.size(), 1u) << m.out;
        for (auto const& l : ls) EXPECT_TRUE(is_build_line(l)) << "\"" << l << "\"";
        EXPECT_EQ(m.out.back(), '\n');
        releaseVELTNet(m.h);

        // Each parse of a description prints the line once.
        std::string out;
        {
            CaptureFd o(1);
            mknn<PlainNN>("3 1 3 1 16 3 8 8 softplus sum");
            mknn<PlainNN>("3 1 3 1 16 3 8 8 softplus sum");
            out = o.text();
        }
        const auto two = lines(out);
        ASSERT_EQ(two.size(), 2u) << out;
        EXPECT_TRUE(is_build_line(two[0]));
        EXPECT_EQ(two[0], two[1]);
    }
}
