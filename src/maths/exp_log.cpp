#include "maths/maths.h"

#include <cmath>

// Placeholder: the C library's functions until the correctly rounded ones land.
namespace quelmar::maths {

double exp(double x) { return std::exp(x); }
double log(double x) { return std::log(x); }
double log10(double x) { return std::log10(x); }

}  // namespace quelmar::maths
