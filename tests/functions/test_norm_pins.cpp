// "sum" and "sum_log_dnorm_fat" keep their values and derivatives to the bit: every form, over
// plain and tangent types, at fixed points on both sides of the fat norm's cut-off at |r| = 2,
// against values recorded before the smooth norms were added (commit b18ccd4). The fat norm's
// exp and log differ by a few ulp between vector tiers, so each tier has its own record; a tier
// this CPU lacks is skipped.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "forward/tangent_functions.h"
#include "forward/tangent_test_util.h"
#include "functions/vector_math.h"

using namespace veltn;

namespace {

using tanad::FO::Dynamic::Active;

struct Pin {
    std::string name;
    std::vector<double> bits;
};

// clang-format off
const std::vector<Pin> kScalarPins = {
    {"fat.sum", {0x1.2ea95aed4d80cp+6}},
    {"fat.terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ecp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4}},
    {"fat.adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119cep+2, 0x1.5a6791fd286a9p-6}},
    {"fat.adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6}},
    {"fat.t_sum", {0x1.2ea95aed4d80cp+6, 0x1.390444be5b73ep+5, 0x1.6dfce18d6eddap+3}},
    {"fat.t_terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ecp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4, -0x1.eb851d8a19e2fp-3, 0x1.932e09fe86834p+3, -0x1.7c28f5c28f5c3p+1, 0x0p+0, -0x1.9333333333333p+0, 0x1.cccccb1218b8ep-1, 0x1.e726e978d4fe1p+4, -0x1.18de5ab196644p-5, 0x1.eb851d8a19e2fp-1, -0x1.032fe1da7b0b4p+3, -0x1.147ae147ae147p-3, -0x0p+0, 0x1.06147ae147aep+3, -0x1.6666650e133a8p-2, 0x1.57df3b645a1cbp+3, 0x1.01767dcd74869p-3}},
    {"fat.t_adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119cep+2, 0x1.5a6791fd286a9p-6, 0x1.357e66663d3c4p-1, 0x1.822f5989df11fp+3, 0x1.74ac083126e97p+2, 0x1.aa3d70a3d70a3p+0, -0x1.77d70a3d70a3ep+2, -0x1.eed91407f4154p-1, -0x1.155810624dd25p+3, -0x1.7385b1f1b3d53p-5, 0x1.69c22f6c45f78p-6, -0x1.338ca8198f1cdp+0, -0x1.e872b020c49bbp-3, -0x1.54fdf3b645a1cp+1, 0x1.5189374bc6a7fp+2, 0x1.b7ced6713117cp-3, 0x1.2bced916872d2p+2, 0x1.daa42181b1707p-8}},
    {"fat.t_adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6, 0x1.d7dbf37e08da8p-1, 0x1.724c83665118p-4, 0x1.4a7ae147ae148p+4, 0x1.9333333333333p+1, 0x1.147ae147ae147p+3, -0x1.b0a3d3839deeep-1, -0x1.83126e978d558p+1, 0x1.022a3f4f2cbbep-3, -0x1.61e4f99212b69p-4, 0x1.d566516db0da6p+2, -0x1.0333333333334p+1, -0x1.428f5c28f5c29p+2, -0x1.f51eb851eb85p+1, 0x1.17ae130f7e88dp+0, 0x1.99645a1cac089p+4, -0x1.232ac620241c8p-5}},
    {"sum.sum", {0x1.171eecbfb15b5p+5}},
    {"sum.t_sum", {0x1.171eecbfb15b5p+5, 0x1.7999999999999p+1, 0x1.2p+1}}
};
const std::vector<Pin> kAvx2Pins = {
    {"fat.sum", {0x1.2ea95aed4d80cp+6}},
    {"fat.terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ebp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4}},
    {"fat.adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119ce2p+2, 0x1.5a6791fd286a9p-6}},
    {"fat.adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6}},
    {"fat.t_sum", {0x1.2ea95aed4d80cp+6, 0x1.390444be5b73ep+5, 0x1.6dfce18d6eddbp+3}},
    {"fat.t_terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ebp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4, -0x1.eb851d8a19e2fp-3, 0x1.932e09fe86834p+3, -0x1.7c28f5c28f5c3p+1, 0x0p+0, -0x1.9333333333335p+0, 0x1.cccccb1218b8ep-1, 0x1.e726e978d4fe1p+4, -0x1.18de5ab196644p-5, 0x1.eb851d8a19e2fp-1, -0x1.032fe1da7b0b4p+3, -0x1.147ae147ae147p-3, -0x0p+0, 0x1.06147ae147ae1p+3, -0x1.6666650e133a8p-2, 0x1.57df3b645a1cbp+3, 0x1.01767dcd74869p-3}},
    {"fat.t_adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119ce2p+2, 0x1.5a6791fd286a9p-6, 0x1.357e66663d3c4p-1, 0x1.822f5989df11fp+3, 0x1.74ac083126e97p+2, 0x1.aa3d70a3d70a3p+0, -0x1.77d70a3d70a4p+2, -0x1.eed91407f4154p-1, -0x1.155810624dd12p+3, -0x1.7385b1f1b3d53p-5, 0x1.69c22f6c45f78p-6, -0x1.338ca8198f1cdp+0, -0x1.e872b020c49bbp-3, -0x1.54fdf3b645a1cp+1, 0x1.5189374bc6a82p+2, 0x1.b7ced6713117cp-3, 0x1.2bced916872aep+2, 0x1.daa42181b1707p-8}},
    {"fat.t_adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6, 0x1.d7dbf37e08da8p-1, 0x1.724c83665118p-4, 0x1.4a7ae147ae148p+4, 0x1.9333333333333p+1, 0x1.147ae147ae147p+3, -0x1.b0a3d3839deeep-1, -0x1.83126e978d438p+1, 0x1.022a3f4f2cbbep-3, -0x1.61e4f99212b69p-4, 0x1.d566516db0da6p+2, -0x1.0333333333334p+1, -0x1.428f5c28f5c29p+2, -0x1.f51eb851eb85cp+1, 0x1.17ae130f7e88dp+0, 0x1.99645a1cac085p+4, -0x1.232ac620241c8p-5}}
};
const std::vector<Pin> kAvx512Pins = {
    {"fat.sum", {0x1.2ea95aed4d80cp+6}},
    {"fat.terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ebp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4}},
    {"fat.adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119ce2p+2, 0x1.5a6791fd286a9p-6}},
    {"fat.adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6}},
    {"fat.t_sum", {0x1.2ea95aed4d80cp+6, 0x1.390444be5b73ep+5, 0x1.6dfce18d6eddbp+3}},
    {"fat.t_terms", {0x1.59a700c677a36p+3, 0x1.1ff8a09c42407p+4, 0x1.9eb851eb851ebp-2, 0x0p+0, 0x1.1a3d70a3d70a3p+1, 0x1.4b5f04edbba3ap+3, 0x1.1d20902de00d2p+4, 0x1.0146a8b4d11c3p+4, -0x1.eb851d8a19e2fp-3, 0x1.932e09fe86834p+3, -0x1.7c28f5c28f5c3p+1, 0x0p+0, -0x1.9333333333335p+0, 0x1.cccccb1218b8ep-1, 0x1.e726e978d4fe1p+4, -0x1.18de5ab196644p-5, 0x1.eb851d8a19e2fp-1, -0x1.032fe1da7b0b4p+3, -0x1.147ae147ae147p-3, -0x0p+0, 0x1.06147ae147ae1p+3, -0x1.6666650e133a8p-2, 0x1.57df3b645a1cbp+3, 0x1.01767dcd74869p-3}},
    {"fat.t_adj_sum", {-0x1.2f1a9f04187f3p-2, -0x1.aa37fbefd0071p+2, -0x1.ff7ced916872bp-1, 0x0p+0, 0x1.2a5e353f7ced9p+1, 0x1.7ae146421453dp-2, 0x1.a81bda5119ce2p+2, 0x1.5a6791fd286a9p-6, 0x1.357e66663d3c4p-1, 0x1.822f5989df11fp+3, 0x1.74ac083126e97p+2, 0x1.aa3d70a3d70a3p+0, -0x1.77d70a3d70a4p+2, -0x1.eed91407f4154p-1, -0x1.155810624dd12p+3, -0x1.7385b1f1b3d53p-5, 0x1.69c22f6c45f78p-6, -0x1.338ca8198f1cdp+0, -0x1.e872b020c49bbp-3, -0x1.54fdf3b645a1cp+1, 0x1.5189374bc6a82p+2, 0x1.b7ced6713117cp-3, 0x1.2bced916872aep+2, 0x1.daa42181b1707p-8}},
    {"fat.t_adj_terms", {-0x1.47ae13b166975p-2, 0x1.76619b90ea9e8p+4, -0x1.6ae147ae147afp+2, 0x0p+0, -0x1.428f5c28f5c29p+0, 0x1.1999988b0f1bcp+0, -0x1.01e76c8b43959p+4, 0x1.47ae1479da1fap-6, 0x1.d7dbf37e08da8p-1, 0x1.724c83665118p-4, 0x1.4a7ae147ae148p+4, 0x1.9333333333333p+1, 0x1.147ae147ae147p+3, -0x1.b0a3d3839deeep-1, -0x1.83126e978d438p+1, 0x1.022a3f4f2cbbep-3, -0x1.61e4f99212b69p-4, 0x1.d566516db0da6p+2, -0x1.0333333333334p+1, -0x1.428f5c28f5c29p+2, -0x1.f51eb851eb85cp+1, 0x1.17ae130f7e88dp+0, 0x1.99645a1cac085p+4, -0x1.232ac620241c8p-5}}
};
// clang-format on

const double kR[8] = {-2.5, -1.9999, -0.3, 0.0, 0.7, 2.0, 1.99, 35.0};
const double kW[8] = {0.4, -1.3, 2.1, 0.7, -0.2, 1.1, -0.9, 0.35};
const double kT0[8] = {0.3, -0.7, 1.1, 0.5, -0.25, 0.9, 1.7, -0.6};
const double kT1[8] = {-1.2, 0.45, 0.05, -0.8, 1.3, -0.35, 0.6, 2.2};

std::vector<double> flat(Vec const& v) { return std::vector<double>(std::begin(v), std::end(v)); }
std::vector<double> flat(Vec const& a, Vec const& b, Vec const& c) {
    std::vector<double> x = flat(a), y = flat(b), z = flat(c);
    x.insert(x.end(), y.begin(), y.end());
    x.insert(x.end(), z.begin(), z.end());
    return x;
}

// The same forms at the same points as when the record was made.
std::vector<Pin> compute(bool with_sum) {
    tangent_test::DirectionCounts counts(2);
    std::vector<Pin> got;
    Mat R(2, 4);
    for (int i = 0; i < 8; ++i) R.data[i] = kR[i];
    const Vec w(kW, 8);
    got.push_back({"fat.sum", {sum_log_dnorm<Mat, double>(R)}});
    got.push_back({"fat.terms", flat(log_dnorm<Mat, Vec>(R))});
    {
        Mat a(2, 4);
        double s = 0.37;
        adj_sum_log_dnorm<Mat, double>(R, s, a);
        got.push_back({"fat.adj_sum", flat(a.data)});
    }
    {
        Mat a(2, 4);
        adj_log_dnorm<Mat, Vec>(R, w, a);
        got.push_back({"fat.adj_terms", flat(a.data)});
    }
    fad1<Mat> TR(R);
    TR.tangents[0].data = Vec(kT0, 8);
    TR.tangents[1].data = Vec(kT1, 8);
    {
        const Active<1> s = sum_log_dnorm<fad1<Mat>, Active<1>>(TR);
        got.push_back({"fat.t_sum", {s.value, s.tangents[0], s.tangents[1]}});
    }
    {
        const fad1<Vec> v = log_dnorm<fad1<Mat>, fad1<Vec>>(TR);
        got.push_back({"fat.t_terms", flat(v.value, v.tangents[0], v.tangents[1])});
    }
    {
        Active<1> s(0.37);
        s.tangents[0] = -0.8;
        s.tangents[1] = 0.15;
        fad1<Mat> a;
        adj_sum_log_dnorm<fad1<Mat>, Active<1>>(TR, s, a);
        got.push_back({"fat.t_adj_sum", flat(a.value.data, a.tangents[0].data, a.tangents[1].data)});
    }
    {
        fad1<Vec> tw(w, 2);
        tw.tangents[0] = Vec(kT1, 8);
        tw.tangents[1] = Vec(kT0, 8);
        fad1<Mat> a;
        adj_log_dnorm<fad1<Mat>, fad1<Vec>>(TR, tw, a);
        got.push_back({"fat.t_adj_terms", flat(a.value.data, a.tangents[0].data, a.tangents[1].data)});
    }
    if (with_sum) {
        got.push_back({"sum.sum", {normfun_sum<Mat, double>(R)}});
        const Active<1> s = normfun_sum<fad1<Mat>, Active<1>>(TR);
        got.push_back({"sum.t_sum", {s.value, s.tangents[0], s.tangents[1]}});
    }
    return got;
}

void expect_pins(std::vector<Pin> const& want, std::vector<Pin> const& got) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        SCOPED_TRACE(want[k].name);
        ASSERT_EQ(got[k].name, want[k].name);
        ASSERT_EQ(got[k].bits.size(), want[k].bits.size());
        for (std::size_t i = 0; i < want[k].bits.size(); ++i)
            EXPECT_TRUE(tangent_test::same_bits(got[k].bits[i], want[k].bits[i]))
                << "entry " << i << ": " << got[k].bits[i] << " recorded " << want[k].bits[i];
    }
}

}  // namespace

TEST(NormPins, SumAndFatNormKeepTheirRecordedBitsInEveryTier) {
    const VectorTier before = vector_tier();
    struct TierPins {
        VectorTier tier;
        std::vector<Pin> const* pins;
    };
    int checked = 0;
    for (TierPins const& t : {TierPins{VectorTier::Scalar, &kScalarPins}, TierPins{VectorTier::Avx2, &kAvx2Pins},
                              TierPins{VectorTier::Avx512, &kAvx512Pins}}) {
        if (select_vector_tier(t.tier) != t.tier) continue;
        SCOPED_TRACE("tier " + std::to_string(int(t.tier)));
        expect_pins(*t.pins, compute(t.tier == VectorTier::Scalar));
        ++checked;
    }
    select_vector_tier(before);
    EXPECT_GE(checked, 1);
}
