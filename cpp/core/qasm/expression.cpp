#include "qasm/expression.hpp"

#include "qasm/tokens.hpp"

#include <cmath>
#include <string>

namespace corvane::qasm {

bool Number::is_finite() const { return kind != Kind::real || std::isfinite(real); }

bool Number::operator==(const Number& other) const {
    if (kind == Kind::big_integer || other.kind == Kind::big_integer)
        return kind == other.kind && negative == other.negative && digits == other.digits;
    if (kind == Kind::integer && other.kind == Kind::integer) return integer == other.integer;
    auto as_double = [](const Number& n) {
        return n.kind == Kind::real ? n.real : static_cast<double>(n.integer);
    };
    return as_double(*this) == as_double(other);
}

double as_double(const Number& n, std::uint32_t line) {
    if (n.kind == Number::Kind::big_integer)
        fail(line, "integer " + shown(n.digits) + " is too large for arithmetic");
    return n.kind == Number::Kind::real ? n.real : static_cast<double>(n.integer);
}

Number apply(ExprOp op, const Number& x, const Number& y, std::uint32_t line) {
    using K = Number::Kind;
    if (x.kind == K::big_integer || y.kind == K::big_integer) {
        if (op == ExprOp::neg && x.kind == K::big_integer) {
            Number r = x;
            r.negative = !r.negative;
            return r;
        }
        as_double(x.kind == K::big_integer ? x : y, line);
    }
    const bool integers = x.kind == K::integer && y.kind == K::integer;
    std::int64_t i = 0;
    auto overflow = [&]() -> Number { fail(line, "integer overflow in a parameter expression"); };
    switch (op) {
        case ExprOp::neg:
            if (x.kind == K::integer) {
                if (__builtin_sub_overflow(std::int64_t{0}, x.integer, &i)) overflow();
                return Number::of_integer(i);
            }
            return Number::of_real(-x.real);
        case ExprOp::add:
            if (integers)
                return __builtin_add_overflow(x.integer, y.integer, &i) ? overflow()
                                                                        : Number::of_integer(i);
            return Number::of_real(as_double(x, line) + as_double(y, line));
        case ExprOp::sub:
            if (integers)
                return __builtin_sub_overflow(x.integer, y.integer, &i) ? overflow()
                                                                        : Number::of_integer(i);
            return Number::of_real(as_double(x, line) - as_double(y, line));
        case ExprOp::mul:
            if (integers)
                return __builtin_mul_overflow(x.integer, y.integer, &i) ? overflow()
                                                                        : Number::of_integer(i);
            return Number::of_real(as_double(x, line) * as_double(y, line));
        case ExprOp::div: {
            const double d = as_double(y, line);
            if (d == 0.0) fail(line, "division by zero in a parameter expression");
            return Number::of_real(as_double(x, line) / d);
        }
        case ExprOp::pow: {
            if (integers && y.integer >= 0) {
                std::int64_t result = 1, base = x.integer, e = y.integer;
                while (e > 0) {
                    if ((e & 1) && __builtin_mul_overflow(result, base, &result)) overflow();
                    e >>= 1;
                    if (e > 0 && __builtin_mul_overflow(base, base, &base)) overflow();
                }
                return Number::of_integer(result);
            }
            const double b = as_double(x, line), e = as_double(y, line);
            if (b == 0.0 && e < 0.0)
                fail(line, "zero raised to a negative power in a parameter expression");
            if (b < 0.0 && std::isfinite(e) && e != std::floor(e))
                fail(line, "a negative number raised to a fractional power is not a real number");
            const double r = std::pow(b, e);
            if (std::isinf(r) && std::isfinite(b) && std::isfinite(e))
                fail(line, "numerical result out of range");
            return Number::of_real(r);
        }
        default:
            break;
    }
    // The math functions: a float result; the host's domain and range errors.
    const double v = as_double(x, line);
    double r = 0.0;
    bool domain_ok = true;
    switch (op) {
        case ExprOp::sin:
            r = std::sin(v);
            domain_ok = !std::isinf(v);
            break;
        case ExprOp::cos:
            r = std::cos(v);
            domain_ok = !std::isinf(v);
            break;
        case ExprOp::tan:
            r = std::tan(v);
            domain_ok = !std::isinf(v);
            break;
        case ExprOp::exp:
            r = std::exp(v);
            break;
        case ExprOp::ln:
            r = std::log(v);
            domain_ok = v > 0.0 || std::isnan(v);
            break;
        case ExprOp::sqrt:
            r = std::sqrt(v);
            domain_ok = v >= 0.0 || std::isnan(v);
            break;
        default:
            break;
    }
    if (!domain_ok) fail(line, "math domain error in a parameter expression");
    if (std::isinf(r) && std::isfinite(v)) fail(line, "math range error in a parameter expression");
    return Number::of_real(r);
}

Number evaluate(const std::vector<Expr>& nodes, std::uint32_t first, std::uint32_t root,
                const Number* env, std::vector<Number>& values) {
    if (first == root) {  // a number or a parameter alone: most expressions
        const Expr& e = nodes[root];
        return e.op == ExprOp::param ? env[e.a] : e.value;
    }
    // Every node of [first, root] lies after its operands: one pass in order
    // computes them all, with no recursion however deep the tree.
    values.resize(root - first + 1);
    for (std::uint32_t i = first; i <= root; ++i) {
        const Expr& e = nodes[i];
        Number& value = values[i - first];
        switch (e.op) {
            case ExprOp::number:
                value = e.value;
                break;
            case ExprOp::param:
                value = env[e.a];
                break;
            case ExprOp::add:
            case ExprOp::sub:
            case ExprOp::mul:
            case ExprOp::div:
            case ExprOp::pow:
                value = apply(e.op, values[e.a - first], values[e.b - first], e.line);
                break;
            default:
                value = apply(e.op, values[e.a - first], Number{}, e.line);
                break;
        }
    }
    return values[root - first];
}

}  // namespace corvane::qasm
