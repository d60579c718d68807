/*
 * QuelmarAlg: numerical analysis for real-time PCR (qPCR) instruments.
 *
 * A flat C interface (valid C99 and C++). Every function below except
 * get_last_error() and version() returns one of the ALG_* result codes.
 *
 * Conventions that hold for every function unless its comment says otherwise:
 *  - Arrays cross the interface as a pointer to double plus a size_t element
 *    count. Input arrays are only read. Pointers are not checked for NULL, and
 *    every array must hold at least as many elements as its count says.
 *  - In/out arrays are overwritten only when the call succeeds; a failed call
 *    leaves them exactly as they were.
 *  - Arrays whose length the library decides are allocated by the library and
 *    handed out through a double** / size_t* pair. The caller owns them and
 *    gives each back with alg_darray_release(). A failed call hands out
 *    nothing: the caller must then neither read nor release the out-pointers.
 *  - Any input count of 2^61 or more fails with ALG_ERR_FAILURE and
 *    "bad array new length" before any work is done.
 *  - On failure the reason is available from get_last_error(); a successful
 *    call leaves it empty. Messages are GBK (code page 936) byte strings.
 *  - Calls are independent and may run on several threads at once on
 *    different data; only the last-error text is shared by the whole process.
 *  - On Windows the library is QuelmarAlg.dll. It keeps no per-thread state,
 *    and its entry point asks the loader to spare it every thread's start and
 *    end (DisableThreadLibraryCalls), which the loader grants only to a DLL
 *    without a static TLS directory. The MinGW-w64 build with GCC's win32
 *    thread model has none: the few bytes its C++ runtime keeps per calling
 *    thread are freed through fiber-local storage when the thread ends. A
 *    build with a posix thread model keeps one (winpthread's clean-up of its
 *    threads is a TLS callback); there the notifications still arrive, and
 *    are ignored.
 */
#ifndef QUELMARALG_H
#define QUELMARALG_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUELMARALG_BUILDING)
#    define QUELMARALG_API __declspec(dllexport)
#  else
#    define QUELMARALG_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#  define QUELMARALG_API __attribute__((visibility("default")))
#else
#  define QUELMARALG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Result codes                                                               */
/* ------------------------------------------------------------------------ */

#define ALG_OK 0                    /* success */
#define ALG_ERR_INVALID_ARGUMENT 10 /* an argument or the data was refused */
#define ALG_ERR_OUT_OF_RANGE 20     /* an index or a parameter out of range */
#define ALG_ERR_FAILURE 100         /* out of memory, or a numerical failure */

/* ------------------------------------------------------------------------ */
/* Records and objects                                                        */
/* ------------------------------------------------------------------------ */

/*
 * The per-well record of the amplification functions: 144 bytes, natural
 * alignment. The host owns an array of them, one per well in well order, and
 * passes the same array from call to call: the baseline window chosen by one
 * analysis is reused by the next. Zero a record to have its baseline chosen
 * afresh. Reserved fields are never read or written by an analysis.
 */
typedef struct FittingResult {
    double max_slope_index;     /*   0 out: 0-based index of the steepest rise */
    double amplification_ratio; /*   8 out: reading ratio at the threshold crossing */
    double reserved0;           /*  16 */
    double baseline_step;       /*  24 out: larger of two cycle-to-cycle increments */
    double max_corrected_slope; /*  32 out: steepest rise after slope correction */
    double reserved1;           /*  40 */
    double third_value;         /*  48 out: reading at index 2 */
    double raw_max;             /*  56 out: largest reading */
    double reserved2;           /*  64 */
    double reserved3;           /*  72 */
    double baseline_slope;      /*  80 out: slope of the baseline line */
    double reserved4;           /*  88 */
    int16_t baseline_start;     /*  96 in/out: first baseline cycle, 0 = choose */
    int16_t baseline_end;       /*  98 in/out: last baseline index, 0 = choose */
    int16_t reserved5;          /* 100 */
    /* 102: two bytes of alignment padding */
    double sigmoid_amplitude;   /* 104 out of alg_calc_threshold: plateau A */
    double sigmoid_midpoint;    /* 112 same: midpoint x0, a cycle number */
    double sigmoid_steepness;   /* 120 same: steepness k */
    double baseline_sd;         /* 128 out: standard deviation of the baseline */
    uint8_t low_signal;         /* 136 out: 1 when the curve never reaches 300 */
    uint8_t no_growth;          /* 137 out: 1 when the curve barely rises */
    uint8_t reserved6[6];       /* 138 */
} FittingResult;

/* Compile-time layout checks, valid in C99 and C++. */
typedef char quelmaralg_check_record_size[sizeof(FittingResult) == 144 ? 1 : -1];
typedef char quelmaralg_check_record_start[offsetof(FittingResult, baseline_start) == 96 ? 1 : -1];
typedef char quelmaralg_check_record_sigmoid[offsetof(FittingResult, sigmoid_amplitude) == 104 ? 1 : -1];
typedef char quelmaralg_check_record_sd[offsetof(FittingResult, baseline_sd) == 128 ? 1 : -1];
typedef char quelmaralg_check_record_flags[offsetof(FittingResult, low_signal) == 136 ? 1 : -1];

/*
 * Options of the peak fit handle: five doubles, copied bit for bit. Only
 * peak_width (the expected width of a melting peak, in degrees) is read; the
 * other four are kept for the host and never read by the library.
 */
typedef struct MgfOptions {
    double option0;
    double option1;
    double peak_width;
    double option3;
    double option4;
} MgfOptions;

/*
 * Options of the quantification statistics: five 32-bit integers. The
 * functions take a pointer to the first field (&options.dataKind).
 *  dataKind         1 = Ct values, anything else = quantities
 *  dataKind2        second kind code, read by alg_calc_rq
 *  errorBarType     1 = Student-t confidence interval, 2 = multiple of the SD
 *  confidenceIndex  0..5 = 95 %, 97 %, 99 %, 99.5 %, 99.7 %, 99.9 %
 *  sdMultiple       multiple of the SD for errorBarType 2
 */
typedef struct RqOptions {
    int32_t dataKind;
    int32_t dataKind2;
    int32_t errorBarType;
    int32_t confidenceIndex;
    int32_t sdMultiple;
} RqOptions;

/* A set of Gaussian peaks (heights, centres, widths). Opaque. */
typedef struct GaussCoeff GaussCoeff;

/* A melting peak curve (temperatures, values) with its MgfOptions. Opaque. */
typedef struct MgfHandle MgfHandle;

/* ------------------------------------------------------------------------ */
/* Frame                                                                      */
/* ------------------------------------------------------------------------ */

/*
 * The message of the last failed call (GBK, at most 255 bytes), or "" after a
 * successful one. Never NULL; the text stays valid until the next call of a
 * function that reports a result code. Shared by all threads of the process.
 */
QUELMARALG_API const char* get_last_error(void);

/* The library version, "1.1.1". Does not touch the last-error text. */
QUELMARALG_API const char* version(void);

/*
 * Gives back an array that the library handed out.
 * array (in/out): address of the caller's pointer variable. When both array
 * and *array are non-NULL the block is freed and *array set to NULL, so a
 * second release through the same variable is harmless.
 * Returns ALG_OK in every case, NULL included.
 */
QUELMARALG_API int alg_darray_release(double** array);

/*
 * Layout probe for host-language bindings. Fill the record with
 *   doubles at 0, 8, 16, 24, 128 = 1.1, 2.2, 3.3, 4.4, 5.5;
 *   the eight doubles at 32 + 8k = k; the int16 at 96, 98, 100 = 1, 2, 3;
 *   the bytes at 136 + k = 1 for even k, 0 for odd k;
 * call, and expect each double doubled, each int16 doubled and each of the
 * eight bytes flipped. Returns ALG_OK, or ALG_ERR_INVALID_ARGUMENT at the
 * first field that did not hold its expected value (fields checked before it
 * stay rewritten). Does not touch the last-error text.
 */
QUELMARALG_API int test_fitting_result(FittingResult* record);

/* ------------------------------------------------------------------------ */
/* Smoothing and fitting                                                      */
/* ------------------------------------------------------------------------ */

/*
 * Fits a parabola by least squares to data[0..count-1], taken at x = 1..count,
 * and writes to *result its value at the vertex when the vertex lies in
 * [1, 11], otherwise the larger of its values at x = 11 and x = 1.
 * data (in): count samples. result (out): one double, written on success.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when there are fewer than three
 * samples (a parabola needs three); ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_sample_data_fitting(const double* data, size_t count, double* result);

/*
 * Smooths data in place with three passes of a running five-point window
 * (isolated extremes removed, window replaced by its parabola, single slope
 * outliers evened out). Curves of fewer than six samples come back unchanged,
 * and the last sample is never changed.
 * data (in/out): count samples. Returns ALG_OK; ALG_ERR_FAILURE when out of
 * memory (data then unchanged).
 */
QUELMARALG_API int alg_run_smooth(double* data, size_t count);

/*
 * Centred moving average over +-half_window samples, in place; near the ends
 * the window is truncated to the samples that exist. half_window 0 leaves
 * every value as it is (the sums start from +0, so -0 comes back as +0); a
 * negative half_window turns every sample into NaN.
 * data (in/out): count samples. Returns ALG_OK; ALG_ERR_FAILURE when out of
 * memory (data then unchanged).
 */
QUELMARALG_API int alg_super_smooth(double* data, size_t count, int half_window);

/*
 * Writes the arithmetic sequence start, start + step, ... (running sums) to
 * out[0..length-1]. out (out): caller array of at least length doubles.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when length is 0; ALG_ERR_FAILURE
 * when out of memory (the sequence is built before it is copied out). out is
 * untouched on failure.
 */
QUELMARALG_API int alg_increasing(double start, double step, size_t length, double* out);

/* ------------------------------------------------------------------------ */
/* Amplification                                                              */
/*                                                                            */
/* Plate data: cycleCount * wellCount readings, well after well (the reading  */
/* of well w at cycle index c is data[w * cycleCount + c]). records: one      */
/* FittingResult per well; recordCount must be at least wellCount.            */
/* ------------------------------------------------------------------------ */

/*
 * Evaluates the logistic A / (1 + exp(-k (x - x0))) in place.
 * params (in): A, x0, k. values (in/out): n cycle numbers, replaced by the
 * model values. Returns ALG_OK; ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_sigmoid(const double* params, double* values, size_t n);

/*
 * Ct of each well from the logistic stored in its record by
 * alg_calc_threshold: x0 - ln(2 + sqrt 3) / k - 1.5, or NaN when A < 10,
 * A is NaN or k < 0.01. records (in): recordCount records. unused: ignored.
 * ct (out): recordCount doubles. Returns ALG_OK; ALG_ERR_FAILURE when out of
 * memory.
 */
QUELMARALG_API int alg_sigmoid_batch_calc_ct(const FittingResult* records, size_t recordCount,
                                             size_t unused, double* ct);

/*
 * Chooses one fluorescence threshold (at least 100) for a plate: conditions
 * every well, fits its logistic and stores baseline statistics and the fit in
 * the well's record.
 * records (in/out): recordCount records; the first wellCount are written.
 * data (in): the plate. threshold (out): one double, written on success.
 * Returns ALG_OK;
 *  ALG_ERR_INVALID_ARGUMENT when recordCount < wellCount (nothing touched), or
 *    when a damped fit matrix is singular (records of wells processed before
 *    the failing one stay written);
 *  ALG_ERR_OUT_OF_RANGE when a baseline window does not fit in the curve
 *    (records of wells processed before the failing one stay written);
 *  ALG_ERR_FAILURE when out of memory (every record exactly as it was).
 */
QUELMARALG_API int alg_calc_threshold(FittingResult* records, size_t recordCount, const double* data,
                                      size_t wellCount, size_t cycleCount, double* threshold);

/*
 * Ct of each well by linear interpolation at the threshold crossing of its
 * conditioned curve (NaN without a crossing), and the conditioned curves.
 * records (in/out): recordCount records; baseline fields and
 * amplification_ratio are written. data (in): the plate.
 * curves (out): cycleCount * wellCount doubles, cycle after cycle (well w at
 * cycle index c is curves[c * wellCount + w]). ct (out): recordCount doubles.
 * The two out arrays are written only on success.
 * Returns ALG_OK;
 *  ALG_ERR_INVALID_ARGUMENT when recordCount < wellCount (nothing touched);
 *  ALG_ERR_OUT_OF_RANGE when a baseline window does not fit in the curve or
 *    leaves no reading after it (records of wells processed before the
 *    failing one stay written);
 *  ALG_ERR_FAILURE when out of memory (every record exactly as it was).
 */
QUELMARALG_API int alg_linear_batch_calc_ct(FittingResult* records, size_t recordCount, double threshold,
                                            const double* data, size_t wellCount, size_t cycleCount,
                                            double* curves, double* ct);

/* ------------------------------------------------------------------------ */
/* Interpolation                                                              */
/* ------------------------------------------------------------------------ */

/*
 * Natural cubic spline through (x[i], y[i]), evaluated at xq; outside the
 * knots the end cubics are extrapolated. x should ascend without repeats.
 * x, y (in): n knots. xq (in): nq abscissae. yq (out): nq values.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when n < 3; ALG_ERR_FAILURE when
 * out of memory.
 */
QUELMARALG_API int alg_cubic_interpolation(const double* x, const double* y, size_t n, const double* xq,
                                           double* yq, size_t nq);

/*
 * Evenly spaced grid from x[0] to x[n-1] with factor - 1 extra points per
 * interval; the last point equals x[n-1] exactly.
 * x (in): n abscissae (only the first and last are read).
 * out (out): caller array of at least (n - 1) * factor + 1 doubles.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when n < 3; ALG_ERR_FAILURE when
 * out of memory.
 */
QUELMARALG_API int alg_interpolation_x(const double* x, size_t n, size_t factor, double* out);

/* ------------------------------------------------------------------------ */
/* Melting curves                                                             */
/* ------------------------------------------------------------------------ */

/*
 * Negative derivative -dF/dT of a melting curve on a grid ten times finer.
 * Temperatures are expected evenly spaced and ascending.
 * count: number of readings. temperature, fluorescence (in): count values.
 * outCount (out): L = 10 * count - 9. outTemperature, outDerivative (out): new
 * arrays of L doubles, released with alg_darray_release.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when fewer than 6 readings, when
 * the step temperature[3] - temperature[2] is zero, not a number, between -50
 * and 0 degrees, or so small that five degrees would need 2^31 grid points,
 * or when the curve is too short for the five-degree start correction;
 * ALG_ERR_FAILURE when out of memory. Nothing is written on failure.
 */
QUELMARALG_API int alg_melting(size_t count, const double* temperature, const double* fluorescence,
                               size_t* outCount, double** outTemperature, double** outDerivative);

/*
 * Removes the background of a melting curve in place: with T = 0.1 * SD +
 * 0.9 * mean, values below T become 0 and values above T are lowered by T.
 * values (in/out): n values. Returns ALG_OK; ALG_ERR_FAILURE when out of
 * memory.
 */
QUELMARALG_API int alg_melting_normalization(double* values, size_t n);

/* ------------------------------------------------------------------------ */
/* Melting peak decomposition                                                 */
/* ------------------------------------------------------------------------ */

/* Creates an empty peak set. out (out): receives the set, released with
 * alg_gausscoeff_release. Returns ALG_OK; ALG_ERR_FAILURE when out of memory
 * (out not written). */
QUELMARALG_API int alg_create_gausscoeff(GaussCoeff** out);

/* Releases a peak set. set (in/out): address of the caller's pointer; when
 * both are non-NULL the set is freed and *set set to NULL. Returns ALG_OK in
 * every case. */
QUELMARALG_API int alg_gausscoeff_release(GaussCoeff** set);

/*
 * Replaces the heights, centres and widths of a set with copies of the
 * caller's arrays (a count of 0 empties the field and does not read the
 * pointer). The three counts are stored as given; sets with unequal counts are
 * refused by the functions that use them.
 * Returns ALG_OK; ALG_ERR_FAILURE when out of memory (the set is then exactly
 * as it was).
 */
QUELMARALG_API int alg_set_gausscoeff_data(GaussCoeff* set, size_t amplitude_count, const double* amplitude,
                                           size_t center_count, const double* center, size_t sigma_count,
                                           const double* sigma);

/*
 * Hands out copies of the three fields of a set. Each count receives the
 * field's length; each array receives a new block (release with
 * alg_darray_release), or NULL for an empty field.
 * Returns ALG_OK; ALG_ERR_FAILURE when out of memory (nothing handed out).
 */
QUELMARALG_API int alg_get_gausscoeff_data(const GaussCoeff* set, size_t* amplitude_count, double** amplitude,
                                           size_t* center_count, double** center, size_t* sigma_count,
                                           double** sigma);

/*
 * Creates a fit handle over a melting peak curve.
 * x (in): x_count temperatures, ascending. y (in): y_count curve values (the
 * same count as x for every use but creation). options (in): copied.
 * out (out): the handle, released with alg_mgf_release.
 * Returns ALG_OK; ALG_ERR_FAILURE when out of memory (out not written).
 */
QUELMARALG_API int alg_mgf_create(const double* x, size_t x_count, const double* y, size_t y_count,
                                  const MgfOptions* options, MgfHandle** out);

/* Releases a fit handle. handle (in/out): address of the caller's pointer;
 * when both are non-NULL the handle is freed and *handle set to NULL. Returns
 * ALG_OK in every case. */
QUELMARALG_API int alg_mgf_release(MgfHandle** handle);

/*
 * The sum of the set's Gaussians a * exp(-(t - b)^2 / (2 c^2)) at every
 * temperature of the handle. The result has one value per curve value (the
 * handle's y count); a set with no peaks gives that many zeros whatever the
 * temperatures.
 * values (out): new array (release with alg_darray_release; non-NULL even
 * when empty). count (out): its length.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when the set's fields differ in
 * length, or, when the set holds at least one peak, when the handle's x and y
 * differ in length; ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_multi_gauss(const MgfHandle* handle, const GaussCoeff* set, double** values,
                                       size_t* count);

/*
 * Refines the set in place by a damped least-squares fit of its Gaussians to
 * the handle's curve. set (in/out): written only on success.
 * Returns ALG_OK (also when the fit stops at its iteration limit);
 * ALG_ERR_INVALID_ARGUMENT when the handle's x and y differ in length, when a
 * height or width field is shorter than the centres, or when the damped normal
 * matrix is singular; ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_solve(const MgfHandle* handle, GaussCoeff* set);

/*
 * Initial peaks of the handle's curve: one Gaussian per strict local maximum,
 * its width estimated from the fall-off of the curve within peak_width * 1.3.
 * A curve of fewer than three values has no maxima (an empty set).
 * out (out): a new set, released with alg_gausscoeff_release.
 * Returns ALG_OK; ALG_ERR_FAILURE when a maximum is not above zero;
 * ALG_ERR_INVALID_ARGUMENT when the handle is too short (fewer than four
 * temperatures, x shorter than y, or a width window leaving the data), or
 * when the options' peak_width is negative or NaN (a width smaller than the
 * temperature step / 1.3 is accepted and gives NaN widths);
 * ALG_ERR_FAILURE when out of memory. out is not written on failure.
 */
QUELMARALG_API int alg_mgf_local_max_value_id(const MgfHandle* handle, GaussCoeff** out);

/*
 * Initial peaks of a raw curve: one Gaussian per strict local maximum of y,
 * centred at x, all of width 1.7.
 * A curve of fewer than three values has no maxima (an empty set).
 * x (in): x_count temperatures (at least y_count). y (in): y_count values.
 * out (out): a new set, released with alg_gausscoeff_release.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when x is shorter than y;
 * ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_local_max_value_id_origin(const double* x, size_t x_count, const double* y,
                                                     size_t y_count, GaussCoeff** out);

/*
 * A synthetic melting curve evaluated at the peak centres of the set, over
 * the caller's background (level, midpoint, steepness). An empty set stands
 * for one flat peak centred on the handle's eleventh temperature, so it gives
 * one value: the background there.
 * background (in): three doubles. values (out): new array, one value per peak
 * (release with alg_darray_release). count (out): its length.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when a height or width field is
 * shorter than the centres, or when the set is empty and the handle holds
 * fewer than eleven temperatures; ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_melting_stim_peak(const MgfHandle* handle, const GaussCoeff* set,
                                             const double* background, double** values, size_t* count);

/*
 * A synthetic melting curve on the handle's temperatures, with a background
 * derived from the handle's data.
 * background (out): three doubles (level, midpoint, steepness), written on
 * success. values (out): new array, one value per temperature. count (out).
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when the handle's x and y differ in
 * length, when it holds fewer than two temperatures (eleven for an empty
 * set), or when a height or width field is shorter than the centres;
 * ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_melting_stimulate(const MgfHandle* handle, const GaussCoeff* set, double* background,
                                             double** values, size_t* count);

/*
 * A new set holding only the peaks with height > limits[0] and
 * limits[2] <= FWHM <= limits[1] (FWHM = 2.3548 * width), in their order.
 * limits (in): three doubles. set (in): unchanged. out (out): the new set,
 * released with alg_gausscoeff_release.
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when a height or width field is
 * shorter than the centres; ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_mgf_coeff_filter(const double* limits, const GaussCoeff* set, GaussCoeff** out);

/* ------------------------------------------------------------------------ */
/* Quantification statistics                                                  */
/* ------------------------------------------------------------------------ */

/*
 * Replicate statistics of a target gene and its reference genes.
 * options (in): points at RqOptions.dataKind (1 = Ct values, else quantities).
 * data (in): n doubles packed as m, m target values, g, then g blocks of
 * (count, values).
 * outValues (out): new array of 3g + 10 doubles: difference (or ratio), SD,
 * SE, N, then mean/SD/SE of the target, the combined reference and each
 * reference gene. outCount (out): 3g + 10.
 * Reference genes that the data does not reach have empty blocks (NaN mean
 * and SE, SD 0).
 * Returns ALG_OK; ALG_ERR_INVALID_ARGUMENT when n < 5, when a count is not a
 * number, negative after truncation toward zero or runs past the data, when
 * g is larger than the number of values after it (n - m - 2), or when there
 * is no target value or no reference gene; ALG_ERR_FAILURE when out of
 * memory.
 */
QUELMARALG_API int alg_calc_sd(const int32_t* options, const double* data, size_t n, double** outValues,
                               size_t* outCount);

/*
 * Relative quantity of a sample against a calibrator, with error bounds.
 * options (in): an RqOptions record (pass &options.dataKind).
 * summary (in): n >= 4 doubles, the first four of alg_calc_sd's result.
 * calibrator: the calibrator's summary value.
 * result (out): seven doubles: value, SD, SE, RQ, lower, upper, ddCt (ddCt is
 * written only when RQ is not a ratio).
 * Returns ALG_OK;
 *  ALG_ERR_INVALID_ARGUMENT when n < 4 (nothing written), or when
 *    errorBarType is neither 1 nor 2;
 *  ALG_ERR_OUT_OF_RANGE for errorBarType 1 with N outside 4..97 or
 *    confidenceIndex outside 0..5;
 *  in both of the last cases result[0..3] (and ddCt) are already written.
 */
QUELMARALG_API int alg_calc_rq(const int32_t* options, const double* summary, size_t n, double calibrator,
                               double* result);

/*
 * Standard curve: least-squares line y = slope x + intercept.
 * x (in): nx values. y (in): ny values. out (out): four doubles: slope,
 * intercept, rms residual (sqrt(SSE / n)), R squared.
 * Returns ALG_OK (all four NaN for empty input); ALG_ERR_INVALID_ARGUMENT
 * when nx != ny (out untouched); ALG_ERR_FAILURE when out of memory.
 */
QUELMARALG_API int alg_calc_standard(const double* x, size_t nx, const double* y, size_t ny, double* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUELMARALG_H */
