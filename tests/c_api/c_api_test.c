/* Uses the library from C: the header must compile as C99 and the exports
 * must link by their plain C names. Prints one line per failed check. */
#include <stdio.h>
#include <string.h>

#include "QuelmarAlg.h"

static int failures = 0;

#define CHECK(condition)                                              \
    do {                                                              \
        if (!(condition)) {                                           \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                               \
        }                                                             \
    } while (0)

int main(void) {
    double seq[4];
    double* none = NULL;
    FittingResult record;

    CHECK(strcmp(version(), "1.1.1") == 0);
    CHECK(sizeof(FittingResult) == 144);

    CHECK(alg_increasing(0.0, 0.5, 4, seq) == ALG_OK);
    CHECK(seq[3] == 1.5);
    CHECK(get_last_error()[0] == '\0');

    CHECK(alg_increasing(0.0, 0.5, 0, seq) == ALG_ERR_INVALID_ARGUMENT);
    CHECK(strlen(get_last_error()) > 0);

    CHECK(alg_super_smooth(seq, 4, 1) == ALG_OK);
    CHECK(seq[0] == 0.25);

    CHECK(alg_darray_release(&none) == ALG_OK);
    CHECK(alg_darray_release(NULL) == ALG_OK);

    memset(&record, 0, sizeof record);
    CHECK(test_fitting_result(&record) == ALG_ERR_INVALID_ARGUMENT);

    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
