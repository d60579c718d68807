/* Uses the library from C: the header must compile as strict C99 and the
 * exports must link by their plain C names. */
#include <stdio.h>
#include <string.h>

#include "QuelmarAlg.h"

int main(void) {
    double seq[4];
    double* none = NULL;
    FittingResult record;
    int ok = strcmp(version(), "1.1.1") == 0 && sizeof(FittingResult) == 144;
    ok = ok && alg_increasing(0.0, 0.5, 4, seq) == ALG_OK && seq[3] == 1.5 && get_last_error()[0] == '\0';
    ok = ok && alg_increasing(0.0, 0.5, 0, seq) == ALG_ERR_INVALID_ARGUMENT && strlen(get_last_error()) > 0;
    ok = ok && alg_super_smooth(seq, 4, 1) == ALG_OK && seq[0] == 0.25;
    ok = ok && alg_darray_release(&none) == ALG_OK && alg_darray_release(NULL) == ALG_OK;
    memset(&record, 0, sizeof record);
    ok = ok && test_fitting_result(&record) == ALG_ERR_INVALID_ARGUMENT;
    puts(ok ? "passed" : "failed");
    return ok ? 0 : 1;
}
