/*
 * QuelmarAlgWol: amplification analysis by the window of linearity, per
 * target (amplicon), beside the threshold and sigmoid analysis of QuelmarAlg.
 *
 * A flat C interface (valid C99 and C++), in a library of its own
 * (libQuelmarAlgWol.so, on Windows QuelmarAlgWol.dll) built from the same
 * object code as QuelmarAlg, with the same correctly rounded arithmetic: the
 * same inputs give the same bits on every supported platform. A host may
 * load either library or both; neither needs the other.
 *
 * The method, after Ruijter et al. (2009) Nucleic Acids Res 37:e45 and
 * Untergasser et al. (2021) BMC Bioinformatics 22:398, per well:
 *  1. the ground phase: the readings from the fourth up to the last one
 *     before the rise, the rise being where the readings leave a straight
 *     line through the ground by more than three times its noise (refitted
 *     until the ground phase stays the same, from a first guess eight cycles
 *     before the steepest rise or the reading half way up, whichever comes
 *     first); it never reaches into the rise;
 *  2. the baseline: a straight line, level and slope, fitted together with
 *     an exact exponential to the ground phase and the lower part of the
 *     rise (up to a tenth of the plateau), so that the log-linear phase above
 *     the baseline is as straight as the readings allow; it follows the
 *     readings' drift. But where the instrument removed its baseline already
 *     (a target whose typical well, the median, has zero within two standard
 *     deviations of its ground readings from their mean; raw readings lie
 *     far above zero), every well of the target keeps that zero, and its
 *     ground phase is read against zero: a line fitted to what the
 *     instrument left would fit the remains of the instrument's own line and
 *     carry their bend on under the rise;
 *  3. the plateau: the largest reading above the baseline from the steepest
 *     rise on. The well's signal is read as a fraction of it, which takes out
 *     the well's optical gain; but where at least half of a target's wells
 *     still rise at their last reading (the run ended before the plateaus),
 *     every well of it is read against the target's median plateau;
 * and per target:
 *  4. the window of linearity: one decade of the signal, its top at most a
 *     tenth of the plateau, placed where the efficiencies of the target's
 *     wells agree best (smallest coefficient of variation), or higher up as
 *     long as their agreement is as good within the uncertainty of a
 *     coefficient of variation from that many wells, 1/sqrt(2(n - 1)) of it;
 *  5. each well's efficiency E = 10^slope of log10(signal) over its readings
 *     in the window (at least three consecutive ones); the target's mean
 *     efficiency over its wells, leaving out those further than three robust
 *     standard deviations (1.4826 median absolute deviations) from the
 *     median;
 *  6. the threshold at the window's top; the Cq where the well's signal
 *     crosses it, interpolated on the log scale between the two readings
 *     around the crossing; and N0 = threshold / E^Cq with the target's mean
 *     efficiency.
 *
 * Conventions:
 *  - Cycles are counted from 1: the reading of index c is cycle c + 1.
 *  - Arrays cross as pointers with element counts; input arrays are only
 *    read; pointers are not checked for NULL; every array must hold what its
 *    count says. The library hands out no memory: results go into the
 *    caller's arrays, which are written only when the call succeeds.
 *  - Any count whose arrays would reach 2^61 bytes fails with WOL_ERR_FAILURE
 *    before any work is done.
 *  - On failure the reason is available from wol_last_error(); a successful
 *    call leaves it empty. Messages are GBK (code page 936) byte strings.
 *    The text is this library's own: a failure in QuelmarAlg does not touch
 *    it, nor one here QuelmarAlg's.
 *  - Calls are independent and may run on several threads at once; only the
 *    last-error text is shared by the whole process.
 */
#ifndef QUELMARALGWOL_H
#define QUELMARALGWOL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUELMARALG_BUILDING)
#    define QUELMARWOL_API __declspec(dllexport)
#  else
#    define QUELMARWOL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#  define QUELMARWOL_API __attribute__((visibility("default")))
#else
#  define QUELMARWOL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: the same values as QuelmarAlg's ALG_* codes. */
#define WOL_OK 0                    /* success */
#define WOL_ERR_INVALID_ARGUMENT 10 /* an argument or the data was refused */
#define WOL_ERR_OUT_OF_RANGE 20     /* an index out of range */
#define WOL_ERR_FAILURE 100         /* out of memory */

/* Why a well has no Cq, efficiency and N0 (WolWell.reason). */
#define WOL_WELL_OK 0                /* analysed: every field holds a number */
#define WOL_WELL_BAD_READINGS 1      /* a reading is NaN or infinite */
#define WOL_WELL_NO_AMPLIFICATION 2  /* the rise is under 20 times the ground's noise, or none at all */
#define WOL_WELL_NO_GROUND 3         /* the rise starts before five ground readings */
#define WOL_WELL_EARLY_PLATEAU 4     /* the plateau is under a quarter of the target's median */
#define WOL_WELL_OUTSIDE_WINDOW 5    /* fewer than three consecutive readings in the window */
#define WOL_WELL_NO_PLATEAU 6        /* still rising at the last reading and under half the target's
                                        median plateau: the run ended before its plateau */

/* How a search ended (WolWell.baseline_stop, WolTarget.window_stop). */
#define WOL_STOP_CONVERGED 0     /* the search narrowed to its tolerance */
#define WOL_STOP_EDGE 1          /* the best value lies on the edge of the range searched */
#define WOL_STOP_ITERATION_LIMIT 2
#define WOL_STOP_SKIPPED 3       /* nothing to search: too few readings above the ground
                                    (baseline: the ground line is kept), a removed baseline
                                    kept (WolTarget.baseline_kept), or no well to place the
                                    window on */
#define WOL_STOP_TOO_FEW_WELLS 4 /* window: no position holds four fifths of the wells whose
                                    signal reaches its top; the position holding the most is taken */

/*
 * The result of one well: 96 bytes, natural alignment. Fluorescence is in
 * the units of the readings; the signal is fluorescence above the baseline.
 */
typedef struct WolWell {
    double cq;              /*  0 cycle where the signal crosses the target's threshold; NaN unless reason is OK */
    double efficiency;      /*  8 the well's own E (2 = doubling) in the window; NaN unless OK */
    double n0;              /* 16 threshold * plateau_median / E^cq with the target's mean E: the fluorescence of a
                                  typical well of the target at cycle 0; NaN unless OK */
    double baseline_level;  /* 24 baseline at cycle 0 (fluorescence; 0 where the target keeps the readings'
                                  removed baseline); NaN for bad readings */
    double baseline_slope;  /* 32 baseline change per cycle; NaN for bad readings */
    double plateau;         /* 40 the signal's largest value from the steepest rise on; NaN for bad readings */
    double noise;           /* 48 standard deviation of the ground readings about their line; NaN for bad readings */
    int32_t ground_first;   /* 56 first and last cycle of the ground phase (0 when none) */
    int32_t ground_last;    /* 60 */
    int32_t window_first;   /* 64 first and last cycle in the window (0 unless OK) */
    int32_t window_last;    /* 68 */
    int32_t reason;         /* 72 WOL_WELL_* */
    int32_t in_mean;        /* 76 1 when the well's efficiency enters the target's mean, else 0 */
    int32_t still_rising;   /* 80 1 when the last step is still 30 % of the steepest or more (the well
                                  may not have reached its plateau), else 0 */
    int32_t baseline_stop;  /* 84 WOL_STOP_*: how the baseline's search over the efficiency ended */
    int32_t baseline_steps; /* 88 its narrowing steps */
    int32_t ground_passes;  /* 92 line fits until the ground phase stayed the same (at most 5) */
} WolWell;

/*
 * The result of one target: 96 bytes. Levels are fractions of each well's
 * plateau, or of plateau_median when common_plateau is 1 (multiply by
 * plateau_median for the fluorescence of a typical well).
 */
typedef struct WolTarget {
    double window_low;      /*  0 the window's lower limit (fraction of the plateau); NaN without wells */
    double window_high;     /*  8 its upper limit, = the threshold */
    double threshold;       /* 16 the Cq threshold (fraction of the plateau) */
    double plateau_median;  /* 24 median plateau of the analysed wells that reached theirs (fluorescence) */
    double mean_efficiency; /* 32 mean E of the wells in the mean; NaN when none */
    double efficiency_sd;   /* 40 their standard deviation (n - 1); NaN for fewer than two */
    double window_cv;       /* 48 coefficient of variation of the efficiencies at the chosen position */
    int32_t wells;          /* 56 wells of the target */
    int32_t amplified;      /* 60 wells that amplified (OK, EARLY_PLATEAU, OUTSIDE_WINDOW, NO_PLATEAU) */
    int32_t in_window;      /* 64 wells with an efficiency in the window */
    int32_t in_mean;        /* 68 wells whose efficiency enters the mean */
    int32_t window_stop;    /* 72 WOL_STOP_*: how the search for the window's position ended */
    int32_t window_steps;   /* 76 positions tried */
    int32_t common_plateau; /* 80 1 when at least half the analysed wells still rise at their last reading:
                                  then every well is read against plateau_median, else against its own */
    int32_t baseline_kept;  /* 84 1 when the target's readings came with their baseline removed (step 2 of
                                  the method): every well's baseline is zero, else 0 */
    int32_t reserved[2];    /* 88 written as 0 */
} WolTarget;

typedef char quelmarwol_check_well_size[sizeof(WolWell) == 96 ? 1 : -1];
typedef char quelmarwol_check_well_reason[offsetof(WolWell, reason) == 72 ? 1 : -1];
typedef char quelmarwol_check_target_size[sizeof(WolTarget) == 96 ? 1 : -1];
typedef char quelmarwol_check_target_counts[offsetof(WolTarget, wells) == 56 ? 1 : -1];

/*
 * The message of the last failed call of this library (GBK, at most 255
 * bytes), or "" after a successful one. Never NULL; valid until the next
 * call of wol_analyse.
 */
QUELMARWOL_API const char* wol_last_error(void);

/* The library version, "1.1.1" (QuelmarAlg's). Does not touch the last error. */
QUELMARWOL_API const char* wol_version(void);

/*
 * Analyses a plate by the window of linearity (the method above).
 * data (in): cycleCount * wellCount readings, well after well (well w at
 *   cycle index c is data[w * cycleCount + c]), raw fluorescence or any
 *   positive multiple of it; readings may drift.
 * targets (in): wellCount target indices, each in 0 .. targetCount - 1.
 * wells (out): wellCount WolWell records. targetResults (out): targetCount
 *   WolTarget records (a target without wells gets NaN levels and zero counts).
 * Both are written only on success.
 * Returns WOL_OK (wells that could not be analysed say why in their reason);
 *  WOL_ERR_INVALID_ARGUMENT when cycleCount < 12 or targetCount is 0
 *    (nothing written);
 *  WOL_ERR_OUT_OF_RANGE when a target index is negative or not below
 *    targetCount (nothing written);
 *  WOL_ERR_FAILURE when out of memory (nothing written).
 * A plate of no wells succeeds and fills only the target records.
 */
QUELMARWOL_API int wol_analyse(const double* data, size_t wellCount, size_t cycleCount, const int32_t* targets,
                               size_t targetCount, WolWell* wells, WolTarget* targetResults);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUELMARALGWOL_H */
