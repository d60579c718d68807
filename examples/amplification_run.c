/*
 * The amplification run of a qPCR host, end to end through the library's C
 * interface: one threshold for the plate, then a Ct per well by linear
 * threshold crossing and one from the fitted logistic.
 *
 *   amplification_run [plate.csv]
 *
 * Without an argument it analyses the bundled real plate data/reps384.csv.
 * The CSV holds a header line of names, then one line per cycle: the cycle
 * number first, then one reading per well.
 */
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

static int report_failure(const char* call, int code) {
    /* The library's messages are GBK-encoded Chinese texts, printed as they are. */
    fprintf(stderr, "%s failed with result %d, message (GBK): %s\n", call, code, get_last_error());
    return 1;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : QUELMARALG_DATA_DIR "/reps384.csv";
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

    if (argc > 2) {
        fprintf(stderr, "usage: %s [plate.csv]\n", argv[0]);
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
