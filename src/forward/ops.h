// Arithmetic on tangent containers: elementwise functions with their first-order rules,
// composed through expression nodes, and the BLAS-backed linear algebra on matrix containers.
#pragma once

#include <cstddef>
#include <type_traits>
#include <valarray>

#include "forward/fad1.h"

namespace veltn {

// Elementwise operations an expression node can stand for (x the operand, t_d its tangents).
enum EFunction {
    AddScalar = 1,     // x + c;   t_d
    Negate = 2,        // -x;      -t_d
    Multiply = 3,      // a b;     b a_d + b_d a
    DivideScalar = 4,  // x / c;   t_d / c
    Exp = 5,           // e^x;     e^x t_d
    Log = 6            // log x;   t_d / x
};

// out := exp(x); out may be x.
void do_exp(fad1<Vec>& out, fad1<Vec> const& x);
// out := log(x); tangents are formed before the value so that out may be x.
void do_log(fad1<Vec>& out, fad1<Vec> const& x);
// 1 / x; tangent t_d / (-x x). Division by zero follows IEEE arithmetic.
fad1<Vec> invert(fad1<Vec> const& x);
// a := a / b entrywise by the quotient rule (tangents before value). No discontinuity check.
fad1<Vec>& operator/=(fad1<Vec>& a, fad1<Vec> const& b);
// |x|; tangent copysign(1, x) t_d, so +1 at +0.0 and -1 at -0.0.
fad1<Vec> abs(fad1<Vec> const& x);

// Value and every tangent scaled by c, or c added to the value only.
fad1<Vec>& operator*=(fad1<Vec>& x, double c);
fad1<Vec>& operator+=(fad1<Vec>& x, double c);
// Value and every tangent divided by c (IEEE division, no discontinuity check).
fad1<Vec>& operator/=(fad1<Vec>& x, double c);
// Value and every tangent negated.
void negate_inplace(fad1<Vec>& x);
// x := x + x, value and tangents.
void double_inplace(fad1<Vec>& x);
// a b entrywise by the Multiply rule; a's direction count decides the result's.
fad1<Vec> multiply_rule(fad1<Vec> const& a, fad1<Vec> const& b);
// Writes src's entries (value and each tangent) into dst at the positions where mask is true,
// in increasing position; the counterpart of fad1<Vec>::operator[].
void scatter(fad1<Vec>& dst, std::valarray<bool> const& mask, fad1<Vec> const& src);

// Expression nodes. Operands are containers or nodes held by reference; they must outlive the
// node. A double operand is held by value.
template <class Operand, EFunction f>
class ExpResult;
template <class Left, class Right, EFunction f>
class ExpResult2;

inline void evaluate(fad1<Vec> const& x, fad1<Vec>& out) {
    if (&x != &out) out = x;
}
template <class O, EFunction f>
void evaluate(ExpResult<O, f> const& node, fad1<Vec>& out) {
    node.fetch(out);
}
template <class L, class R, EFunction f>
void evaluate(ExpResult2<L, R, f> const& node, fad1<Vec>& out) {
    out = static_cast<fad1<Vec>>(node);
}

// Unary node: fetch(out) evaluates the operand and applies f, writing value and tangents.
template <class Operand, EFunction f>
class ExpResult {
    static_assert(f == Exp || f == Log || f == Negate, "unary node of a binary operation");

public:
    explicit ExpResult(Operand const& operand) : op(operand) {}

    void fetch(fad1<Vec>& out) const {
        if constexpr (std::is_same_v<Operand, fad1<Vec>>) {
            apply(out, op);
        } else {
            evaluate(op, out);
            apply(out, out);
        }
    }

private:
    static void apply(fad1<Vec>& out, fad1<Vec> const& x) {
        if constexpr (f == Exp) {
            do_exp(out, x);
        } else if constexpr (f == Log) {
            do_log(out, x);
        } else {
            evaluate(x, out);
            negate_inplace(out);
        }
    }

    Operand const& op;
};

// Two-operand node; converting it to fad1<Vec> evaluates it.
template <class Left, class Right, EFunction f>
class ExpResult2 {
    static_assert(f == AddScalar || f == Multiply || f == DivideScalar, "binary node of a unary operation");
    using RightHeld = std::conditional_t<std::is_same_v<Right, double>, double, Right const&>;

public:
    ExpResult2(Left const& l, Right const& r) : left(l), right(r) {}

    operator fad1<Vec>() const {
        if constexpr (f == Multiply) {
            static_assert(std::is_same_v<Left, fad1<Vec>> && std::is_same_v<Right, fad1<Vec>>,
                          "products are formed of containers");
            return multiply_rule(left, right);
        } else {
            static_assert(std::is_same_v<Right, double>, "scalar operations take a double");
            fad1<Vec> out;
            evaluate(left, out);
            if constexpr (f == AddScalar) {
                out += right;
            } else {
                out /= right;
            }
            return out;
        }
    }

private:
    Left const& left;
    RightHeld right;
};

// Shorthands for the compositions used by the functions over tangent types.
using FV = fad1<Vec>;
using ExpNode = ExpResult<FV, Exp>;
using LogNode = ExpResult<FV, Log>;
using NegLogNode = ExpResult<LogNode, Negate>;
using MulNode = ExpResult2<FV, FV, Multiply>;
using Log1pExpNode = ExpResult<ExpResult2<ExpNode, double, AddScalar>, Log>;
using ExpQuadNode = ExpResult<ExpResult2<MulNode, double, DivideScalar>, Exp>;

// Per-thread scratch for the operations: slot (below kScratchSlots) holds at least n doubles
// until the next request for the same slot on the same thread; it starts with arbitrary contents.
// It grows to the largest request and is kept until the thread ends, so that steady calls do not
// allocate. Slots 4 to 7 belong to the activations and norms, 8 to the elementwise operations
// here; 0 to 3 are free (the products write straight into their results).
constexpr unsigned kScratchSlots = 10;
double* scratch(unsigned slot, std::size_t n);

// Matrix containers (row-major; every BLAS call row-major, alpha 1, beta 0).
//
// Value products follow the plain matrix rules exactly. Directions that are exactly zero give
// +0.0 terms without a BLAS call. A_d B (and A_d B^T) is one dgemm over each run of non-zero
// directions, the stacked A_d straight into C's tangent block; A B_d, A B_d^T, A^T B_d and
// A_d^T B are one dgemm per non-zero direction, straight into C's direction d with beta 1 where
// it already holds a term: at a batch's shapes the BLAS runs those small products faster than
// one wide product over operands copied side by side. Operands may be C itself.

// C := A B; the value by the three-way rule (one row of A -> dgemv transposed, one column of B
// -> dgemv, otherwise dgemm). Tangent d = A_d B + A B_d (A_d B alone beyond B's directions).
void do_mult(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C);
// C := A B + b with b added to every row: do_mult then do_binplus, in one pass over C's
// tangents when b has B.cols entries in its value and in each tangent C will have (C may not
// be A or B for that; otherwise it runs the two steps).
void do_mult_bias(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Vec> const& b, fad1<Mat>& C);
// C := A B^T (dgemm). Tangent d = A B_d^T + A_d B^T over A's directions.
void do_binmult(fad1<Mat>& C, fad1<Mat> const& A, TransposedFAD1<Mat> const& Bt);
// C := A^T B (dgemm). Tangent d = A^T B_d + A_d^T B over B's directions.
void do_binmult(fad1<Mat>& C, TransposedFAD1<Mat> const& At, fad1<Mat> const& B);
// C += A^T B, value and tangents, as accumulate_into(C, A^T B) without the temporary: the value
// exactly so; each tangent gains its two terms one after the other, so it agrees up to rounding.
void add_binmult(fad1<Mat>& C, TransposedFAD1<Mat> const& At, fad1<Mat> const& B);
// C += P, value and tangent d to tangent d. A C of another element count becomes P; C grows to
// P's direction count (new directions zero); a tangent of another element count becomes P's.
void accumulate_into(fad1<Mat>& C, fad1<Mat>&& P);
// C := A + b: entrywise when b has A's element count, to every row when it has A.cols entries,
// otherwise "invalid dims" on standard error (once for the value and once per direction) and
// that part of C stays equal to A. C may be A.
void do_binplus(fad1<Mat>& C, fad1<Mat> const& A, fad1<Vec> const& b);
// Column sums of value and of every tangent (each column summed from the last row up); the
// into form keeps s's storage where the lengths match, and s takes A's direction count.
void colsum_into(fad1<Mat> const& A, fad1<Vec>& s);

}  // namespace veltn
