// The maths built for another target than the test suite's (the 32-bit x86
// build of x87_refusal.cmake): every function on a few arguments from each
// of its paths, against MPFR's correctly rounded results, bit for bit.
// Prints each difference; exits 1 if there is one.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "maths/maths.h"

namespace {

struct Case {
    const char* function;
    double x;
    double y;  // pow's exponent
    double expected;
};

const Case kCases[] = {
    {"exp", 0x1p+0, 0x0p+0, 0x1.5bf0a8b145769p+1},
    {"exp", -0x1p-1, 0x0p+0, 0x1.368b2fc6f960ap-1},
    {"exp", 0x1.62e42fefa39efp+9, 0x0p+0, 0x1.fffffffffff2ap+1023},
    {"exp", -0x1.724p+9, 0x0p+0, 0x0.0000000000033p-1022},
    {"exp", 0x1.b7cdfd9d7bdbbp-34, 0x0p+0, 0x1.000000006df38p+0},
    {"log", 0x1p+1, 0x0p+0, 0x1.62e42fefa39efp-1},
    {"log", 0x1.8p-1, 0x0p+0, -0x1.269621134db92p-2},
    {"log", 0x1.00000004p+0, 0x0p+0, 0x1.fffffffcp-31},
    {"log", 0x0.0000000000001p-1022, 0x0p+0, -0x1.74385446d71c3p+9},
    {"log", 0x1.7e43c8800759cp+996, 0x0p+0, 0x1.5963447f87fb5p+9},
    {"log10", 0x1.8p+1, 0x0p+0, 0x1.e8927964fd5fdp-2},
    {"log10", 0x1.56e1fc2f8f359p-997, 0x0p+0, -0x1.2cp+8},
    {"log10", 0x1.f4p+9, 0x0p+0, 0x1.8p+1},
    {"log10", 0x1.ff7ced916872bp-1, 0x0p+0, -0x1.c79e5dbf022b6p-12},
    {"pow", 0x1p+1, 0x1p-1, 0x1.6a09e667f3bcdp+0},
    {"pow", 0x1.4p+3, -0x1.d99999999999ap+1, 0x1.a26fd472780c1p-13},
    {"pow", -0x1.8p+0, 0x1.8p+1, -0x1.bp+1},
    {"pow", 0x1.fae147ae147aep-1, 0x1.f4p+9, 0x1.6a258c41be10ep-15},
    {"pow", 0x1.00001p+0, 0x1.312dp+23, 0x1.b11d60857d567p+13},
    {"pow", 0x1.8p+1, -0x1.4p+4, 0x1.3b563c2478b73p-32},
    {"sin", 0x1p+0, 0x0p+0, 0x1.aed548f090ceep-1},
    {"sin", 0x1.921f9f01b866ep+1, 0x0p+0, 0x1.6428a6aa44cdp-19},
    {"sin", 0x1.e848p+19, 0x0p+0, -0x1.6664b2568d867p-2},
    {"sin", 0x1.7e43c8800759cp+996, 0x0p+0, -0x1.a2c16b010e385p-1},
    {"sin", -0x1.999999999999ap-4, 0x0p+0, -0x1.98eaecb8bcb2cp-4},
};

double evaluate(const Case& c) {
    namespace m = quelmar::maths;
    if (std::strcmp(c.function, "exp") == 0) return m::exp(c.x);
    if (std::strcmp(c.function, "log") == 0) return m::log(c.x);
    if (std::strcmp(c.function, "log10") == 0) return m::log10(c.x);
    if (std::strcmp(c.function, "pow") == 0) return m::pow(c.x, c.y);
    return m::sin(c.x);
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

int main() {
    int wrong = 0;
    for (const Case& c : kCases) {
        const double got = evaluate(c);
        if (bits(got) != bits(c.expected)) {
            std::printf("%s(%a, %a) = %a, expected %a\n", c.function, c.x, c.y, got, c.expected);
            ++wrong;
        }
    }
    std::printf("%d of %zu results differ\n", wrong, sizeof kCases / sizeof kCases[0]);
    return wrong == 0 ? 0 : 1;
}
