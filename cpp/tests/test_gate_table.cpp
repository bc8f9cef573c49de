// The gate table's rows against the gate matrices: each fact a row states
// (inverse, merge rule, counts, spellings) must hold of its matrix.
#include "gates/gate_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace g = corvane::gates;
using g::cplx;

namespace {

using Dense = std::vector<cplx>;  // row-major, side from the row

// Parameters that are no multiple of pi/2, so no rule holds by accident.
constexpr double kParams[3] = {0.7, -1.3, 2.1};

Dense matrix_of(const g::GateRow& row, const double* params) {
    Dense m(g::matrix_dim(row) * g::matrix_dim(row));
    row.matrix(params, m.data());
    return m;
}

Dense product(const Dense& a, const Dense& b, std::size_t n) {
    Dense r(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t j = 0; j < n; ++j) r[i * n + j] += a[i * n + k] * b[k * n + j];
    return r;
}

bool is_identity(const Dense& m, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (std::abs(m[i * n + j] - cplx(i == j ? 1.0 : 0.0)) > 1e-12) return false;
    return true;
}

bool close(const Dense& a, const Dense& b) {
    for (std::size_t k = 0; k < a.size(); ++k)
        if (std::abs(a[k] - b[k]) > 1e-12) return false;
    return true;
}

std::vector<const g::GateRow*> model_gates() {
    std::vector<const g::GateRow*> rows;
    for (const g::GateRow& row : g::gate_rows())
        if (row.matrix) rows.push_back(&row);
    return rows;
}

std::string row_name(const ::testing::TestParamInfo<const g::GateRow*>& info) {
    return std::string(info.param->name);
}

class ModelGate : public ::testing::TestWithParam<const g::GateRow*> {};

TEST_P(ModelGate, CountsFitItsCategory) {
    const g::GateRow& row = *GetParam();
    const auto c = static_cast<int>(row.category);
    ASSERT_LT(c, static_cast<int>(g::Category::functional));
    constexpr std::uint8_t kQubits[] = {1, 2, 3, 1, 2};
    EXPECT_EQ(row.nqubits, kQubits[c]);
    const bool parametric = row.category == g::Category::one_qubit_parameter ||
                            row.category == g::Category::two_qubit_parameter;
    EXPECT_EQ(row.nparams > 0, parametric);
    EXPECT_EQ(row.parametric != g::ParametricMatrix::none, parametric);
    if (parametric) {
        EXPECT_EQ(&g::row_of(row.parametric), &row);
    }
}

TEST_P(ModelGate, InverseRuleUndoesTheMatrix) {
    const g::GateRow& row = *GetParam();
    const std::size_t n = g::matrix_dim(row);
    const Dense m = matrix_of(row, kParams);
    double undo[3] = {kParams[0], kParams[1], kParams[2]};
    Dense inverse;
    switch (row.inverse) {
        case g::Inverse::self:
            inverse = m;
            break;
        case g::Inverse::adjoint: {
            const g::GateRow* other = g::find_gate(row.inverse_gate);
            ASSERT_NE(other, nullptr);
            inverse = matrix_of(*other, nullptr);
            break;
        }
        case g::Inverse::negate_angle:
        case g::Inverse::negate_theta_keep_phi:
            undo[0] = -kParams[0];
            inverse = matrix_of(row, undo);
            break;
        case g::Inverse::negate_and_swap:
            undo[0] = -kParams[0];
            undo[1] = -kParams[2];
            undo[2] = -kParams[1];
            inverse = matrix_of(row, undo);
            break;
        case g::Inverse::conjugate_by_z: {
            // z on the first qubit (bit 0 of the index), the gate, z again.
            Dense z(n * n, 0.0);
            for (std::size_t k = 0; k < n; ++k) z[k * n + k] = (k & 1) ? -1.0 : 1.0;
            inverse = product(z, product(m, z, n), n);
            break;
        }
        default:
            FAIL() << "a model gate without an inverse rule";
    }
    EXPECT_TRUE(is_identity(product(inverse, m, n), n));
}

TEST_P(ModelGate, MergeRuleGivesThePairsProduct) {
    const g::GateRow& row = *GetParam();
    const std::size_t n = g::matrix_dim(row);
    const double a[3] = {kParams[0], kParams[1], kParams[2]};
    double b[3] = {0.4, 0.9, -0.2};
    const Dense pair_ab = product(matrix_of(row, b), matrix_of(row, a), n);
    switch (row.merge) {
        case g::Merge::cancels:
            EXPECT_TRUE(is_identity(product(matrix_of(row, a), matrix_of(row, a), n), n));
            break;
        case g::Merge::adds_angles: {
            const double sum[1] = {a[0] + b[0]};
            EXPECT_TRUE(close(pair_ab, matrix_of(row, sum)));
            break;
        }
        case g::Merge::adds_angle_on_same_axis: {
            b[1] = a[1];
            const double sum[2] = {a[0] + b[0], a[1]};
            EXPECT_TRUE(
                close(product(matrix_of(row, b), matrix_of(row, a), n), matrix_of(row, sum)));
            break;
        }
        case g::Merge::fuses_into_u:
            EXPECT_EQ(row.parametric, g::ParametricMatrix::u);
            break;
        case g::Merge::never:
            EXPECT_FALSE(is_identity(product(matrix_of(row, a), matrix_of(row, a), n), n));
            EXPECT_EQ(row.compressible_rank, 0);
            break;
    }
}

// A gate a dialect's library lacks is defined by the writer, under its own
// spelling; a library gate needs no definition.
TEST_P(ModelGate, DefinitionsNameTheGateTheyDefine) {
    const g::GateRow& row = *GetParam();
    for (const g::Dialect* d : {&row.qasm2, &row.qasm3}) {
        if (d->in_library) {
            EXPECT_TRUE(d->definition.empty());
            continue;
        }
        const std::string name(d->spelling.empty() ? row.name : d->spelling);
        const std::string head = "gate " + name;
        ASSERT_EQ(d->definition.substr(0, head.size()), head);
        EXPECT_TRUE(std::string(" (").find(d->definition[head.size()]) != std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ModelGate, ::testing::ValuesIn(model_gates()), row_name);

TEST(GateTable, NamesAreUniqueAndFound) {
    std::set<std::string_view> seen;
    for (const g::GateRow& row : g::gate_rows()) {
        EXPECT_TRUE(seen.insert(row.name).second) << row.name;
        EXPECT_EQ(g::find_gate(row.name), &row);
        EXPECT_EQ(row.name.find('_'), std::string_view::npos) << "node names split at _";
    }
    EXPECT_EQ(g::find_gate("CCX"), nullptr);
    EXPECT_EQ(g::find_gate(""), nullptr);
}

TEST(GateTable, AliasesSpellModelGates) {
    for (const g::GateRow& row : g::gate_rows()) {
        if (row.alias_of.empty()) {
            EXPECT_EQ(&g::resolve_alias(row), &row);
            continue;
        }
        const g::GateRow& target = g::resolve_alias(row);
        EXPECT_NE(target.matrix, nullptr) << row.name;
        EXPECT_EQ(row.category, g::Category::none);
        EXPECT_EQ(row.matrix, nullptr);
    }
}

TEST(GateTable, CompressibleRanksNumberTheListFromOne) {
    std::vector<int> ranks;
    for (const g::GateRow& row : g::gate_rows())
        if (row.compressible_rank) {
            ranks.push_back(row.compressible_rank);
            EXPECT_NE(row.merge, g::Merge::never) << row.name;
        }
    std::sort(ranks.begin(), ranks.end());
    for (std::size_t k = 0; k < ranks.size(); ++k) EXPECT_EQ(ranks[k], static_cast<int>(k + 1));
}

TEST(GateTable, ReaderOnlyRowsAreExpandedOrAliased) {
    for (const g::GateRow& row : g::gate_rows()) {
        if (row.category != g::Category::none) continue;
        EXPECT_NE(row.alias_of.empty(), row.qasm2.definition.empty()) << row.name;
        if (!row.qasm2.definition.empty()) {
            const std::string head = "gate " + std::string(row.name);
            EXPECT_EQ(row.qasm2.definition.substr(0, head.size()), head);
        }
    }
}

}  // namespace
