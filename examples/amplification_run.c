/*
 * The amplification run of a qPCR host, end to end through the library's C
 * interface: one threshold for the plate, then a Ct per well by linear
 * threshold crossing and one from the fitted logistic.
 *
 *   amplification_run [--bits] [plate.csv]
 *
 * Without an argument it analyses the bundled real plate data/reps384.csv.
 * The CSV holds a header line of names, then one line per cycle: the cycle
 * number first, then one reading per well.
 *
 * --bits prints, instead of the table, every reading and every result (the
 * threshold, both Ct of every well, every field of every record and every
 * conditioned reading) as the bits of its value in hexadecimal, one per line,
 * for comparisons that must hold bit for bit: the .NET binding's test prints
 * the same lines from its own run of the same plate.
 */
#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "QuelmarAlg.h"
#include "plate_csv.h"

#ifndef QUELMARALG_DATA_DIR
#define QUELMARALG_DATA_DIR "data"
#endif

/* Running mean and sample standard deviation of the finite values seen. */
typedef struct Summary {
    size_t count;
    double mean;
    double m2;
} Summary;

static void summary_add(Summary* s, double x) {
    double delta;
    if (!isfinite(x)) return;
    ++s->count;
    delta = x - s->mean;
    s->mean += delta / (double)s->count;
    s->m2 += delta * (x - s->mean);
}

static double summary_sd(const Summary* s) { return s->count > 1 ? sqrt(s->m2 / (double)(s->count - 1)) : NAN; }

static void print_ct(double ct) {
    if (isnan(ct))
        printf(" %10s", "-");
    else
        printf(" %10.3f", ct);
}

/* "label index bits": a double as the 16 hex digits of its IEEE 754 bits. */
static void print_bits(const char* label, size_t index, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    printf("%s %lu %016" PRIx64 "\n", label, (unsigned long)index, bits);
}

/* An integer field, as the hex digits of its width. */
static void print_word(const char* label, size_t index, unsigned value, int digits) {
    printf("%s %lu %0*x\n", label, (unsigned long)index, digits, value);
}

static void print_record_bits(size_t w, const FittingResult* r) {
    size_t k;
    print_bits("record.max_slope_index", w, r->max_slope_index);
    print_bits("record.amplification_ratio", w, r->amplification_ratio);
    print_bits("record.reserved0", w, r->reserved0);
    print_bits("record.baseline_step", w, r->baseline_step);
    print_bits("record.max_corrected_slope", w, r->max_corrected_slope);
    print_bits("record.reserved1", w, r->reserved1);
    print_bits("record.third_value", w, r->third_value);
    print_bits("record.raw_max", w, r->raw_max);
    print_bits("record.reserved2", w, r->reserved2);
    print_bits("record.reserved3", w, r->reserved3);
    print_bits("record.baseline_slope", w, r->baseline_slope);
    print_bits("record.reserved4", w, r->reserved4);
    print_word("record.baseline_start", w, (uint16_t)r->baseline_start, 4);
    print_word("record.baseline_end", w, (uint16_t)r->baseline_end, 4);
    print_word("record.reserved5", w, (uint16_t)r->reserved5, 4);
    print_bits("record.sigmoid_amplitude", w, r->sigmoid_amplitude);
    print_bits("record.sigmoid_midpoint", w, r->sigmoid_midpoint);
    print_bits("record.sigmoid_steepness", w, r->sigmoid_steepness);
    print_bits("record.baseline_sd", w, r->baseline_sd);
    print_word("record.low_signal", w, r->low_signal, 2);
    print_word("record.no_growth", w, r->no_growth, 2);
    for (k = 0; k < sizeof r->reserved6; ++k) {
        char label[32];
        sprintf(label, "record.reserved6[%d]", (int)k);
        print_word(label, w, r->reserved6[k], 2);
    }
}

static void print_plate_bits(const PlateCsv* plate, double threshold, const FittingResult* records,
                             const double* linear_ct, const double* sigmoid_ct, const double* curves) {
    size_t w, i;
    for (i = 0; i < plate->well_count * plate->cycle_count; ++i) print_bits("reading", i, plate->readings[i]);
    print_bits("threshold", 0, threshold);
    for (w = 0; w < plate->well_count; ++w) {
        print_bits("linear_ct", w, linear_ct[w]);
        print_bits("sigmoid_ct", w, sigmoid_ct[w]);
        print_record_bits(w, &records[w]);
    }
    for (i = 0; i < plate->well_count * plate->cycle_count; ++i) print_bits("curve", i, curves[i]);
}

static int report_failure(const char* call, int code) {
    /* The library's messages are GBK-encoded Chinese texts, printed as they are. */
    fprintf(stderr, "%s failed with result %d, message (GBK): %s\n", call, code, get_last_error());
    return 1;
}

int main(int argc, char** argv) {
    const int bits = argc > 1 && strcmp(argv[1], "--bits") == 0;
    const char* path = argc > 1 + bits ? argv[1 + bits] : QUELMARALG_DATA_DIR "/reps384.csv";
    PlateCsv plate;
    char error[512];
    FittingResult* records;
    double* curves;
    double* linear_ct;
    double* sigmoid_ct;
    double threshold = 0.0;
    Summary linear = {0, 0.0, 0.0};
    Summary sigmoid = {0, 0.0, 0.0};
    Summary difference = {0, 0.0, 0.0};
    size_t low_signal = 0;
    size_t no_growth = 0;
    size_t w;
    int code;
    int status = 0;

    if (argc > 2 + bits) {
        fprintf(stderr, "usage: %s [--bits] [plate.csv]\n", argv[0]);
        return 2;
    }
    if (plate_csv_read(path, &plate, error, sizeof error) != 0) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }

    /* One zeroed record per well: the library then chooses every baseline. */
    records = (FittingResult*)calloc(plate.well_count, sizeof *records);
    curves = (double*)malloc(plate.well_count * plate.cycle_count * sizeof *curves);
    linear_ct = (double*)malloc(plate.well_count * sizeof *linear_ct);
    sigmoid_ct = (double*)malloc(plate.well_count * sizeof *sigmoid_ct);
    if (records == NULL || curves == NULL || linear_ct == NULL || sigmoid_ct == NULL) {
        fprintf(stderr, "out of memory\n");
        status = 1;
        goto done;
    }

    code =
        alg_calc_threshold(records, plate.well_count, plate.readings, plate.well_count, plate.cycle_count, &threshold);
    if (code != ALG_OK) {
        status = report_failure("alg_calc_threshold", code);
        goto done;
    }
    code = alg_linear_batch_calc_ct(records, plate.well_count, threshold, plate.readings, plate.well_count,
                                    plate.cycle_count, curves, linear_ct);
    if (code != ALG_OK) {
        status = report_failure("alg_linear_batch_calc_ct", code);
        goto done;
    }
    code = alg_sigmoid_batch_calc_ct(records, plate.well_count, plate.cycle_count, sigmoid_ct);
    if (code != ALG_OK) {
        status = report_failure("alg_sigmoid_batch_calc_ct", code);
        goto done;
    }

    if (bits) {
        print_plate_bits(&plate, threshold, records, linear_ct, sigmoid_ct, curves);
        goto done;
    }

    printf("QuelmarAlg %s, plate %s\n\n", version(), path);
    printf("%-12s %10s %10s  %s\n", "well", "linear Ct", "sigmoid Ct", "flags");
    for (w = 0; w < plate.well_count; ++w) {
        const FittingResult* r = &records[w];
        printf("%-12s", plate.names[w]);
        print_ct(linear_ct[w]);
        print_ct(sigmoid_ct[w]);
        printf(" %s%s%s\n", r->low_signal ? " low-signal" : "", r->no_growth ? " no-growth" : "",
               r->low_signal || r->no_growth ? "" : " -");
        summary_add(&linear, linear_ct[w]);
        summary_add(&sigmoid, sigmoid_ct[w]);
        summary_add(&difference, sigmoid_ct[w] - linear_ct[w]);
        low_signal += r->low_signal != 0;
        no_growth += r->no_growth != 0;
    }

    printf("\nsummary\n");
    printf("  wells x cycles        %zu x %zu\n", plate.well_count, plate.cycle_count);
    printf("  threshold             %.3f\n", threshold);
    printf("  flagged low-signal    %zu\n", low_signal);
    printf("  flagged no-growth     %zu\n", no_growth);
    printf("  linear Ct             %zu wells, mean %.3f, SD %.3f\n", linear.count, linear.mean, summary_sd(&linear));
    printf("  sigmoid Ct            %zu wells, mean %.3f, SD %.3f\n", sigmoid.count, sigmoid.mean,
           summary_sd(&sigmoid));
    printf("  sigmoid - linear Ct   %zu wells, mean %.3f, SD %.3f\n", difference.count, difference.mean,
           summary_sd(&difference));

done:
    free(sigmoid_ct);
    free(linear_ct);
    free(curves);
    free(records);
    plate_csv_free(&plate);
    return status;
}
