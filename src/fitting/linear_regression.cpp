#include "fitting/linear_regression.h"

#include <cmath>

#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

LinearFit linear_regression(const Vector& x, const Vector& y) {
    const double mx = mean(x);
    const double my = mean(y);
    Vector dx = x;
    dx -= mx;
    Vector dy = y;
    dy -= my;
    // The length test belongs to the first product, after the means.
    if (x.size() != y.size()) fail_invalid_argument(msg::kVectorLengthMultiply);
    const double sxy = dot(dx, dy);
    const double sxx = dot(dx, dx);

    LinearFit fit{};
    fit.slope = sxy / sxx;
    fit.intercept = my - fit.slope * mx;

    Vector fitted = x;
    fitted *= fit.slope;
    fitted += fit.intercept;
    Vector r = y;
    r -= fitted;
    const double sse = dot(r, r);
    // The total sum of squares uses the same deviations from the mean as Sxy.
    const double sst = dot(dy, dy);

    fit.r_squared = 1.0 - sse / sst;
    fit.rms_residual = std::sqrt(sse / static_cast<double>(y.size()));
    return fit;
}

}  // namespace quelmar
