/*
 * The records of QuelmarAlg.h as hosts lay them out: the offset and size of
 * every field and the size of every record, asserted at compile time in plain
 * C99 (a typedef of an array whose size is negative when a promise breaks).
 * The header asserts five of them itself; a host compiled against another
 * layout would read and write the wrong bytes without a word, so every field
 * is held here, on every platform the tests are built for. The program only
 * reports what it was compiled with.
 */
#include <stddef.h>
#include <stdio.h>

#include "QuelmarAlg.h"

/* Record T is size bytes long; its field f lies at byte offset, size bytes wide. */
#define RECORD(T, size) typedef char layout_size_of_##T[sizeof(T) == (size) ? 1 : -1]
#define FIELD(T, f, offset, size)                                                    \
    typedef char layout_offset_of_##T##_##f[offsetof(T, f) == (offset) ? 1 : -1]; \
    typedef char layout_size_of_##T##_##f[sizeof(((T*)0)->f) == (size) ? 1 : -1]

RECORD(FittingResult, 144);
FIELD(FittingResult, max_slope_index, 0, 8);
FIELD(FittingResult, amplification_ratio, 8, 8);
FIELD(FittingResult, reserved0, 16, 8);
FIELD(FittingResult, baseline_step, 24, 8);
FIELD(FittingResult, max_corrected_slope, 32, 8);
FIELD(FittingResult, reserved1, 40, 8);
FIELD(FittingResult, third_value, 48, 8);
FIELD(FittingResult, raw_max, 56, 8);
FIELD(FittingResult, reserved2, 64, 8);
FIELD(FittingResult, reserved3, 72, 8);
FIELD(FittingResult, baseline_slope, 80, 8);
FIELD(FittingResult, reserved4, 88, 8);
FIELD(FittingResult, baseline_start, 96, 2);
FIELD(FittingResult, baseline_end, 98, 2);
FIELD(FittingResult, reserved5, 100, 2);
FIELD(FittingResult, sigmoid_amplitude, 104, 8);
FIELD(FittingResult, sigmoid_midpoint, 112, 8);
FIELD(FittingResult, sigmoid_steepness, 120, 8);
FIELD(FittingResult, baseline_sd, 128, 8);
FIELD(FittingResult, low_signal, 136, 1);
FIELD(FittingResult, no_growth, 137, 1);
FIELD(FittingResult, reserved6, 138, 6);

RECORD(MgfOptions, 40);
FIELD(MgfOptions, option0, 0, 8);
FIELD(MgfOptions, option1, 8, 8);
FIELD(MgfOptions, peak_width, 16, 8);
FIELD(MgfOptions, option3, 24, 8);
FIELD(MgfOptions, option4, 32, 8);

RECORD(RqOptions, 20);
FIELD(RqOptions, dataKind, 0, 4);
FIELD(RqOptions, dataKind2, 4, 4);
FIELD(RqOptions, errorBarType, 8, 4);
FIELD(RqOptions, confidenceIndex, 12, 4);
FIELD(RqOptions, sdMultiple, 16, 4);

int main(void) {
    printf("FittingResult %u bytes, MgfOptions %u, RqOptions %u: every field where the header says\n",
           (unsigned)sizeof(FittingResult), (unsigned)sizeof(MgfOptions), (unsigned)sizeof(RqOptions));
    return 0;
}
