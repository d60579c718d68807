#include "maths/maths.h"

#include <cmath>

// Placeholder: the C library's function until the correctly rounded one lands.
namespace quelmar::maths {

double pow(double x, double y) { return std::pow(x, y); }

}  // namespace quelmar::maths
