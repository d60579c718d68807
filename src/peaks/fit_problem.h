// The peak fit as a least-squares problem: mgf_residual on one curve, and its
// central-difference Jacobian formed without repeating work.
#pragma once

#include <cstddef>

#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "peaks/peak_set.h"
#include "solvers/lm_solve.h"

namespace quelmar {

// Gives the same bits as mgf_residual and numerical_jacobian(mgf_residual),
// with far fewer exponentials:
// - a column of the Jacobian moves one peak's parameter; every other peak
//   adds the term it had before the column (the earlier peaks their shifted
//   terms, the later ones their terms at p), so only the moved peak is
//   evaluated again, and the sum over the peaks before it is carried from
//   column to column instead of being added up anew;
// - a peak's amplitude only scales its shape exp(-(t - b)^2 / (2 c^2)), so
//   the amplitude columns reuse the shapes at p;
// - the shapes of the last residual evaluated are kept, and the fit asks for
//   the Jacobian exactly where it has just evaluated its trial point;
// - the residual at the shifted parameters is the last column's upper value.
// Every value is still summed over the peaks in peak order from 0.0, each
// term formed as in mgf_residual. The curve must outlive the problem.
class PeakFitProblem final : public LeastSquaresProblem {
public:
    explicit PeakFitProblem(const PeakCurve& curve) : curve_(curve) {}

    void residual(const Vector& p, Vector& out) override;
    void linearise(Vector& p, Matrix& jacobian, Vector& r) override;

private:
    void require_matching_curve(std::size_t peaks) const;
    // shapes_ becomes the shapes of p's peaks, unless it holds them already.
    void evaluate_shapes(const Vector& p);
    // One peak's shape at every temperature i into out[offset + i * stride].
    void shape(double center, double sigma, Vector& out, std::size_t offset = 0, std::size_t stride = 1) const;
    void difference_column(std::size_t j, std::size_t k, double a_lower, double a_upper, Matrix& jacobian) const;

    const PeakCurve& curve_;
    Vector evaluated_;  // the parameters whose shapes are kept
    bool have_shapes_ = false;
    // Per temperature i and peak k, at index i * peaks + k: the shapes at
    // evaluated_, and the terms (shape times amplitude) at the point being
    // linearised.
    Vector shapes_;
    Vector terms_;
    std::size_t peaks_ = 0;  // of the point being linearised
    Vector before_;  // per temperature, the sum of the shifted terms of the peaks before the moved one
    Vector lower_, upper_;  // the moved peak's shape at its lower and upper parameter
};

}  // namespace quelmar
