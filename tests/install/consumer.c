/* A host program built against an installed QuelmarAlg, once through CMake's
 * find_package and once through pkg-config. It fits a standard curve whose
 * line is exact (Ct = -3.3 log10 q + 38) and checks the result. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <QuelmarAlg.h>

int main(void) {
    const double log_quantity[] = {1.0, 2.0, 3.0, 4.0, 5.0};
    double ct[5];
    double fit[4];
    for (int i = 0; i < 5; ++i) ct[i] = -3.3 * log_quantity[i] + 38.0;
    const int code = alg_calc_standard(log_quantity, 5, ct, 5, fit);
    printf("QuelmarAlg %s: slope %.6f intercept %.6f R2 %.6f\n", version(), fit[0], fit[1], fit[3]);
    if (code != ALG_OK || strcmp(version(), "1.1.1") != 0) return 1;
    return fabs(fit[0] + 3.3) < 1e-12 && fabs(fit[1] - 38.0) < 1e-12 ? 0 : 1;
}
