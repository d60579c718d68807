#include "maths/maths.h"

#include <cmath>

// Placeholder: the C library's function until the correctly rounded one lands.
namespace quelmar::maths {

double sin(double x) { return std::sin(x); }

}  // namespace quelmar::maths
