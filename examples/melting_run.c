/*
 * melting_run: the melting road on the bundled dyemelt data.
 *
 * For every dye of data/dyemelt.csv (a 4-plex assay read with three dyes,
 * each with its own temperature column) the program
 *   1. turns the melting curve into -dF/dT on a fine grid (alg_melting);
 *   2. conditions that curve for the peak model (see condition_curve);
 *   3. creates a fit handle over it (alg_mgf_create);
 *   4. finds the initial peaks (alg_mgf_local_max_value_id) and keeps the
 *      ones that stand out of the ripple (alg_mgf_coeff_filter);
 *   5. fits them (alg_mgf_solve) and drops implausible results
 *      (alg_mgf_coeff_filter);
 *   6. reads the peaks (alg_get_gausscoeff_data) and prints one line per
 *      peak: centre = melting temperature, height and width;
 * and gives back everything the library handed out.
 *
 * Usage: melting_run [--bits] [path/to/dyemelt.csv]
 * --bits prints, instead of the table, every reading and every intermediate
 * and final result (the grid, -dF/dT before and after conditioning, and the
 * heights, centres and widths of every peak set) as the bits of its value in
 * hexadecimal, one per line, for comparisons that must hold bit for bit: the
 * .NET binding's test prints the same lines from its own run.
 * Plain C99; uses only the public header and the shared library.
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

/* The CSV reader of the examples takes the first column apart (it names it
 * cycles); here every column is a temperature or a dye's readings. */
static const double* csv_column(const PlateCsv* table, size_t c) {
    return c == 0 ? table->cycles : table->readings + (c - 1) * table->cycle_count;
}

/* ---------------------------------------------------------------------- */
/* The melting road of one dye.                                             */
/* ---------------------------------------------------------------------- */

/*
 * Half-window of the extra smoothing, in fine-grid points. The dyemelt
 * readings are not evenly spaced (0.094 to 0.25 degree steps among the usual
 * 0.125), and the derivative carries a ripple from the uneven steps that
 * splits a melting peak into two maxima about 0.3 degree apart. A moving
 * average over +-20 points (+-0.27 degree on this grid) merges them without
 * shifting the peaks.
 */
enum { SMOOTH_HALF_WINDOW = 20 };

/*
 * Expected width of a melting peak: the width estimate compares the height
 * of a maximum with the curve 1.3 * peak_width away. Product peaks here have
 * a standard deviation near 0.5 degree, so 0.5 puts that reference on the
 * flank of the peak rather than on the flat floor beside it.
 */
static const double kPeakWidth = 0.5;

/*
 * Maxima lower than this share of the curve's tallest value are ripple or
 * residual background, not products. The same share sets the smallest height
 * that a fitted peak may keep.
 */
static const double kMinHeightShare = 0.10;

/*
 * Plausible full widths at half maximum of a fitted product peak, in degrees:
 * narrower than 0.3 is below what the 0.125-0.25 degree readings resolve
 * after smoothing; wider than 5 is background the fit has soaked up, not a
 * product.
 */
static const double kMinFwhm = 0.3;
static const double kMaxFwhm = 5.0;

/*
 * Makes the derivative fit the model: a sum of Gaussians on a zero floor. The
 * smoothing merges the split maxima (above); the normalization removes the
 * background under the peaks, which the model has no term for.
 */
static int condition_curve(double* curve, size_t count) {
    int rc = alg_super_smooth(curve, count, SMOOTH_HALF_WINDOW);
    if (rc == ALG_OK) rc = alg_melting_normalization(curve, count);
    return rc;
}

static double largest(const double* v, size_t n) {
    double best = 0.0;
    size_t i;
    for (i = 0; i < n; ++i)
        if (v[i] > best) best = v[i];
    return best;
}

static int bits_mode = 0;

/* "dye.what index bits": a double as the 16 hex digits of its IEEE 754 bits. */
static void print_bits(const char* dye, const char* what, size_t index, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    printf("%s.%s %lu %016" PRIx64 "\n", dye, what, (unsigned long)index, bits);
}

static void print_array_bits(const char* dye, const char* what, const double* values, size_t n) {
    size_t i;
    for (i = 0; i < n; ++i) print_bits(dye, what, i, values[i]);
}

static int report(const char* step, int rc) {
    if (rc != ALG_OK) fprintf(stderr, "  %s failed with %d (%s)\n", step, rc, get_last_error());
    return rc;
}

/* The three fields of a set as bits, labelled set.height and so on. */
static int print_set_bits(const char* dye, const char* set, const GaussCoeff* peaks) {
    size_t n_height = 0, n_centre = 0, n_width = 0;
    double *height = NULL, *centre = NULL, *width = NULL;
    char what[64];
    const int rc = alg_get_gausscoeff_data(peaks, &n_height, &height, &n_centre, &centre, &n_width, &width);
    if (report("alg_get_gausscoeff_data", rc) != ALG_OK) return rc;
    sprintf(what, "%.40s.height", set);
    print_array_bits(dye, what, height, n_height);
    sprintf(what, "%.40s.centre", set);
    print_array_bits(dye, what, centre, n_centre);
    sprintf(what, "%.40s.width", set);
    print_array_bits(dye, what, width, n_width);
    alg_darray_release(&height);
    alg_darray_release(&centre);
    alg_darray_release(&width);
    return ALG_OK;
}

static int print_peaks(const char* dye, const GaussCoeff* peaks) {
    size_t n_height = 0, n_centre = 0, n_width = 0, i;
    double *height = NULL, *centre = NULL, *width = NULL;
    int rc;
    if (bits_mode) return print_set_bits(dye, "peaks", peaks);
    rc = alg_get_gausscoeff_data(peaks, &n_height, &height, &n_centre, &centre, &n_width, &width);
    if (report("alg_get_gausscoeff_data", rc) != ALG_OK) return rc;
    if (n_centre == 0) printf("%-12s  (no peak passed the filter)\n", dye);
    for (i = 0; i < n_centre; ++i)
        printf("%-12s %4lu %10.2f %12.5f %10.3f %10.3f\n", i == 0 ? dye : "", (unsigned long)(i + 1), centre[i],
               height[i], width[i], width[i] * 2.3548);
    alg_darray_release(&height);
    alg_darray_release(&centre);
    alg_darray_release(&width);
    return ALG_OK;
}

static int analyse_dye(const char* dye, const double* temperature, const double* fluorescence, size_t n) {
    size_t count = 0;
    double* grid = NULL;
    double* curve = NULL;
    MgfHandle* handle = NULL;
    GaussCoeff* maxima = NULL;
    GaussCoeff* candidates = NULL;
    GaussCoeff* peaks = NULL;
    MgfOptions options = {0.0, 0.0, 0.0, 0.0, 0.0};
    double candidate_limits[3];
    double peak_limits[3];
    double top;
    int rc;

    rc = report("alg_melting", alg_melting(n, temperature, fluorescence, &count, &grid, &curve));
    if (rc != ALG_OK) return rc;
    if (bits_mode) {
        print_array_bits(dye, "temperature", temperature, n);
        print_array_bits(dye, "fluorescence", fluorescence, n);
        print_array_bits(dye, "grid", grid, count);
        print_array_bits(dye, "derivative", curve, count);
    }
    rc = report("conditioning", condition_curve(curve, count));
    if (rc != ALG_OK) goto done;
    if (bits_mode) print_array_bits(dye, "conditioned", curve, count);
    top = largest(curve, count);

    options.peak_width = kPeakWidth;
    rc = report("alg_mgf_create", alg_mgf_create(grid, count, curve, count, &options, &handle));
    if (rc != ALG_OK) goto done;
    rc = report("alg_mgf_local_max_value_id", alg_mgf_local_max_value_id(handle, &maxima));
    if (rc != ALG_OK) goto done;

    /* Only maxima that stand out go into the fit; any width is accepted. */
    candidate_limits[0] = kMinHeightShare * top;
    candidate_limits[1] = HUGE_VAL;
    candidate_limits[2] = 0.0;
    rc = report("alg_mgf_coeff_filter", alg_mgf_coeff_filter(candidate_limits, maxima, &candidates));
    if (rc != ALG_OK) goto done;
    if (bits_mode && ((rc = print_set_bits(dye, "maxima", maxima)) != ALG_OK ||
                      (rc = print_set_bits(dye, "candidates", candidates)) != ALG_OK))
        goto done;

    rc = report("alg_mgf_solve", alg_mgf_solve(handle, candidates));
    if (rc != ALG_OK) goto done;
    if (bits_mode && (rc = print_set_bits(dye, "fitted", candidates)) != ALG_OK) goto done;

    peak_limits[0] = kMinHeightShare * top;
    peak_limits[1] = kMaxFwhm;
    peak_limits[2] = kMinFwhm;
    rc = report("alg_mgf_coeff_filter", alg_mgf_coeff_filter(peak_limits, candidates, &peaks));
    if (rc != ALG_OK) goto done;

    rc = print_peaks(dye, peaks);

done:
    alg_gausscoeff_release(&peaks);
    alg_gausscoeff_release(&candidates);
    alg_gausscoeff_release(&maxima);
    alg_mgf_release(&handle);
    alg_darray_release(&grid);
    alg_darray_release(&curve);
    return rc;
}

int main(int argc, char** argv) {
    const char* path;
    PlateCsv table;
    char error[512];
    size_t c;
    int failures = 0;

    bits_mode = argc > 1 && strcmp(argv[1], "--bits") == 0;
    if (argc > 2 + bits_mode) {
        fprintf(stderr, "usage: %s [--bits] [dyemelt.csv]\n", argv[0]);
        return 2;
    }
    path = argc > 1 + bits_mode ? argv[1 + bits_mode] : QUELMARALG_DATA_DIR "/dyemelt.csv";
    if (plate_csv_read(path, &table, error, sizeof error) != 0) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    if (!bits_mode) {
        printf("QuelmarAlg %s: melting peaks of %s (%lu readings per dye)\n\n", version(), path,
               (unsigned long)table.cycle_count);
        printf("%-12s %4s %10s %12s %10s %10s\n", "dye", "peak", "Tm (C)", "height", "sigma (C)", "FWHM (C)");
    }
    /* Columns come in pairs: a temperature column, then the dye's readings. */
    for (c = 0; c + 1 <= table.well_count; c += 2) {
        const char* name = table.names[c];
        if (analyse_dye(name, csv_column(&table, c), csv_column(&table, c + 1), table.cycle_count) != ALG_OK) {
            printf("%-12s  (analysis failed)\n", name);
            ++failures;
        }
    }
    plate_csv_free(&table);
    return failures == 0 ? 0 : 1;
}
