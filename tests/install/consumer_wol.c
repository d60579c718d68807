/* A host program built against an installed QuelmarAlgWol: analyses one
 * synthetic well (doubling from 0.01 over a flat baseline of 100, plateau
 * 5000) and checks its efficiency. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <QuelmarAlgWol.h>

int main(void) {
    double data[40];
    const int32_t target = 0;
    WolWell well;
    WolTarget result;
    for (int c = 1; c <= 40; ++c) {
        const double grown = 0.01 * pow(2.0, c);
        data[c - 1] = 100.0 + grown / pow(1.0 + pow(grown / 5000.0, 4.0), 0.25);
    }
    const int code = wol_analyse(data, 1, 40, &target, 1, &well, &result);
    printf("QuelmarAlgWol %s: efficiency %.4f, Cq %.3f\n", wol_version(), well.efficiency, well.cq);
    if (code != WOL_OK || strcmp(wol_version(), "1.1.1") != 0) return 1;
    return fabs(well.efficiency - 2.0) < 1e-3 ? 0 : 1;
}
