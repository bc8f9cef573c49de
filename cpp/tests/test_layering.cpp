#include "metrics/layering.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace corvane::metrics {
namespace {

struct Op {
    std::vector<std::uint32_t> qubits;
    double duration;
    bool barrier;
};

struct LayeringCase {
    const char* what;
    std::vector<Op> ops;
    std::int64_t depth;
    double length;
};

class LayeringTable : public testing::TestWithParam<LayeringCase> {};

TEST_P(LayeringTable, DepthAndLength) {
    const LayeringCase& c = GetParam();
    Layering layering;
    for (const Op& op : c.ops) layering.add(op.qubits, op.duration, op.barrier);
    EXPECT_EQ(layering.depth(), c.depth) << c.what;
    EXPECT_EQ(layering.length(), c.length) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayeringTable,
    testing::Values(
        LayeringCase{"empty", {}, 0, 0.0},
        LayeringCase{
            "parallel qubits share a layer", {{{0}, 1.0, false}, {{1}, 2.0, false}}, 1, 2.0},
        LayeringCase{"a two-qubit gate waits for its later qubit",
                     {{{0}, 1.0, false}, {{1}, 3.0, false}, {{0, 1}, 1.0, false}},
                     2,
                     4.0},
        LayeringCase{"a barrier aligns without a layer or time",
                     {{{0}, 1.0, false}, {{0, 1}, 0.0, true}, {{1}, 1.0, false}},
                     2,
                     2.0},
        LayeringCase{"an operation on no qubits starts at 0", {{{}, 5.0, false}}, 1, 5.0},
        LayeringCase{"sparse qubit ids", {{{7}, 1.0, false}, {{7, 2}, 1.0, false}}, 2, 2.0},
        LayeringCase{"sums in order, as host floats add",
                     {{{0}, 0.1, false}, {{0}, 0.2, false}},
                     2,
                     0.1 + 0.2}));

TEST(Layering, NaNFirstStaysAsTheHostMaxKeepsIt) {
    // max(nan, 1.0) is nan and max(1.0, nan) is 1.0 on the host: the first
    // value stays unless a later one compares greater.
    Layering layering;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    layering.add(std::vector<std::uint32_t>{0}, nan, false);
    layering.add(std::vector<std::uint32_t>{1}, 1.0, false);
    layering.add(std::vector<std::uint32_t>{0, 1}, 1.0, false);
    EXPECT_EQ(layering.length(), 1.0);  // the overall max never took the NaN
    Layering reversed;
    reversed.add(std::vector<std::uint32_t>{1}, 1.0, false);
    reversed.add(std::vector<std::uint32_t>{0}, nan, false);
    reversed.add(std::vector<std::uint32_t>{1, 0}, 1.0, false);
    EXPECT_EQ(reversed.length(), 2.0);  // started at qubit 1's end, not the NaN
}

}  // namespace
}  // namespace corvane::metrics
