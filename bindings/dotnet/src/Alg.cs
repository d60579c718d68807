// The managed layer over Native: managed arrays in and out, counts taken from
// the arrays themselves (so that no count can run past an array), arrays the
// library hands out copied and given back in finally, and every result code
// other than ALG_OK raised as a QuelmarAlgException with that call's message.
// Arguments that would make the library read past an array are refused with
// an ArgumentException before any call. The peak functions are methods of
// GaussCoeffHandle and MgfHandle.
using System;

namespace QuelmarAlg
{
    /// <summary>The -dF/dT curve of a melt on its refined grid.</summary>
    public sealed class MeltingCurve
    {
        public MeltingCurve(double[] temperature, double[] derivative)
        {
            Temperature = temperature;
            Derivative = derivative;
        }

        public double[] Temperature { get; private set; }
        public double[] Derivative { get; private set; }
    }

    /// <summary>A standard curve y = Slope x + Intercept.</summary>
    public struct StandardCurve
    {
        public double Slope;
        public double Intercept;
        public double RmsResidual; // sqrt(SSE / n)
        public double RSquared;
    }

    public static class Alg
    {
        // Frame

        /// <summary>The library's version, "1.1.1".</summary>
        public static string Version
        {
            get { return Gbk.Decode(Gbk.Read(Native.version())); }
        }

        /// <summary>The last-error text as it stands now (shared by the whole process).</summary>
        public static string LastError
        {
            get
            {
                lock (Gate.Lock) return Gbk.Decode(Gbk.Read(Native.get_last_error()));
            }
        }

        // Smoothing and fitting

        /// <summary>The value of the least-squares parabola through data (at x = 1..n) at its vertex or at its larger end.</summary>
        public static double SampleDataFitting(double[] data)
        {
            Gate.NotNull(data, "data");
            double result;
            lock (Gate.Lock)
                Gate.Check("alg_sample_data_fitting", Native.alg_sample_data_fitting(data, Gate.Size(data.Length), out result));
            return result;
        }

        /// <summary>Three passes of the five-point smoother, in place (alg_run_smooth).</summary>
        public static void RunSmooth(double[] data)
        {
            Gate.NotNull(data, "data");
            lock (Gate.Lock) Gate.Check("alg_run_smooth", Native.alg_run_smooth(data, Gate.Size(data.Length)));
        }

        /// <summary>Centred moving average over +-halfWindow samples, in place (alg_super_smooth).</summary>
        public static void SuperSmooth(double[] data, int halfWindow)
        {
            Gate.NotNull(data, "data");
            lock (Gate.Lock)
                Gate.Check("alg_super_smooth", Native.alg_super_smooth(data, Gate.Size(data.Length), halfWindow));
        }

        /// <summary>start, start + step, ... as running sums, length values (alg_increasing).</summary>
        public static double[] Increasing(double start, double step, int length)
        {
            if (length < 0) throw new ArgumentOutOfRangeException("length");
            var values = new double[length];
            lock (Gate.Lock)
                Gate.Check("alg_increasing", Native.alg_increasing(start, step, Gate.Size(length), values));
            return values;
        }

        // Amplification

        /// <summary>The logistic A / (1 + exp(-k (x - x0))) at every cycle number of values, in place.</summary>
        public static void Sigmoid(double amplitude, double midpoint, double steepness, double[] values)
        {
            Gate.NotNull(values, "values");
            var parameters = new[] { amplitude, midpoint, steepness };
            lock (Gate.Lock)
                Gate.Check("alg_sigmoid", Native.alg_sigmoid(parameters, values, Gate.Size(values.Length)));
        }

        /// <summary>Ct of every record's logistic, NaN where there is none (alg_sigmoid_batch_calc_ct).</summary>
        public static double[] SigmoidBatchCalcCt(FittingResult[] records)
        {
            Gate.NotNull(records, "records");
            var ct = new double[records.Length];
            lock (Gate.Lock)
                Gate.Check("alg_sigmoid_batch_calc_ct",
                           Native.alg_sigmoid_batch_calc_ct(records, Gate.Size(records.Length), UIntPtr.Zero, ct));
            return ct;
        }

        /// <summary>
        /// The plate's fluorescence threshold (alg_calc_threshold). data holds
        /// wellCount * cycleCount readings, well after well; records at least
        /// wellCount records, of which the first wellCount are written.
        /// </summary>
        public static double CalcThreshold(FittingResult[] records, double[] data, int wellCount, int cycleCount)
        {
            CheckPlate(records, data, wellCount, cycleCount);
            double threshold;
            lock (Gate.Lock)
                Gate.Check("alg_calc_threshold",
                           Native.alg_calc_threshold(records, Gate.Size(records.Length), data, Gate.Size(wellCount),
                                                     Gate.Size(cycleCount), out threshold));
            return threshold;
        }

        /// <summary>
        /// Ct of every well by linear interpolation at the threshold crossing
        /// (alg_linear_batch_calc_ct), one per record; curves receives the
        /// conditioned curves, cycle after cycle (well w at cycle index c is
        /// curves[c * wellCount + w]).
        /// </summary>
        public static double[] LinearBatchCalcCt(FittingResult[] records, double threshold, double[] data, int wellCount,
                                                 int cycleCount, out double[] curves)
        {
            CheckPlate(records, data, wellCount, cycleCount);
            var conditioned = new double[data.Length];
            var ct = new double[records.Length];
            lock (Gate.Lock)
                Gate.Check("alg_linear_batch_calc_ct",
                           Native.alg_linear_batch_calc_ct(records, Gate.Size(records.Length), threshold, data,
                                                           Gate.Size(wellCount), Gate.Size(cycleCount), conditioned, ct));
            curves = conditioned;
            return ct;
        }

        private static void CheckPlate(FittingResult[] records, double[] data, int wellCount, int cycleCount)
        {
            Gate.NotNull(records, "records");
            Gate.NotNull(data, "data");
            if (wellCount < 0) throw new ArgumentOutOfRangeException("wellCount");
            if (cycleCount < 0) throw new ArgumentOutOfRangeException("cycleCount");
            Gate.Require((long)wellCount * cycleCount == data.Length, "data", "wellCount * cycleCount readings");
        }

        // Interpolation

        /// <summary>The natural cubic spline through (x, y), at every xq (alg_cubic_interpolation).</summary>
        public static double[] CubicInterpolation(double[] x, double[] y, double[] xq)
        {
            Gate.NotNull(x, "x");
            Gate.NotNull(y, "y");
            Gate.NotNull(xq, "xq");
            Gate.Require(x.Length == y.Length, "y", "one value per knot");
            var yq = new double[xq.Length];
            lock (Gate.Lock)
                Gate.Check("alg_cubic_interpolation",
                           Native.alg_cubic_interpolation(x, y, Gate.Size(x.Length), xq, yq, Gate.Size(xq.Length)));
            return yq;
        }

        /// <summary>The even grid from x[0] to x[n-1] with factor - 1 points inside every interval (alg_interpolation_x).</summary>
        public static double[] InterpolationX(double[] x, int factor)
        {
            Gate.NotNull(x, "x");
            if (factor < 0) throw new ArgumentOutOfRangeException("factor");
            long length = x.Length < 1 ? 1 : (long)(x.Length - 1) * factor + 1;
            if (length > int.MaxValue) throw new ArgumentOutOfRangeException("factor", "the grid would not fit in an array");
            var grid = new double[length];
            lock (Gate.Lock)
                Gate.Check("alg_interpolation_x",
                           Native.alg_interpolation_x(x, Gate.Size(x.Length), Gate.Size(factor), grid));
            return grid;
        }

        // Melting curves

        /// <summary>-dF/dT on a grid ten times finer, 10 n - 9 points (alg_melting).</summary>
        public static MeltingCurve Melting(double[] temperature, double[] fluorescence)
        {
            Gate.NotNull(temperature, "temperature");
            Gate.NotNull(fluorescence, "fluorescence");
            Gate.Require(temperature.Length == fluorescence.Length, "fluorescence", "one reading per temperature");
            IntPtr grid = IntPtr.Zero, derivative = IntPtr.Zero;
            try
            {
                UIntPtr count;
                lock (Gate.Lock)
                {
                    int code = Native.alg_melting(Gate.Size(temperature.Length), temperature, fluorescence, out count,
                                                  out grid, out derivative);
                    if (code != 0) grid = derivative = IntPtr.Zero;
                    Gate.Check("alg_melting", code);
                }
                return new MeltingCurve(Gate.Copy(grid, count), Gate.Copy(derivative, count));
            }
            finally
            {
                Gate.Release(ref grid);
                Gate.Release(ref derivative);
            }
        }

        /// <summary>Removes the background of a melting curve in place (alg_melting_normalization).</summary>
        public static void MeltingNormalization(double[] values)
        {
            Gate.NotNull(values, "values");
            lock (Gate.Lock)
                Gate.Check("alg_melting_normalization", Native.alg_melting_normalization(values, Gate.Size(values.Length)));
        }

        // Quantification statistics

        /// <summary>
        /// Replicate statistics (alg_calc_sd): data packed as m, m target
        /// values, g, then g blocks of (count, values); 3 g + 10 values back.
        /// </summary>
        public static double[] CalcSd(RqOptions options, double[] data)
        {
            Gate.NotNull(data, "data");
            return Gate.CopyHandedOut("alg_calc_sd",
                (out IntPtr v, out UIntPtr n) => Native.alg_calc_sd(ref options, data, Gate.Size(data.Length), out v, out n));
        }

        /// <summary>
        /// Relative quantity against a calibrator (alg_calc_rq): value, SD, SE,
        /// RQ, lower, upper, ddCt. summary: at least the first four values of CalcSd.
        /// </summary>
        public static double[] CalcRq(RqOptions options, double[] summary, double calibrator)
        {
            Gate.NotNull(summary, "summary");
            // ddCt is written only for Ct data: the rest stays NaN.
            var result = new[] { double.NaN, double.NaN, double.NaN, double.NaN, double.NaN, double.NaN, double.NaN };
            lock (Gate.Lock)
                Gate.Check("alg_calc_rq", Native.alg_calc_rq(ref options, summary, Gate.Size(summary.Length), calibrator, result));
            return result;
        }

        /// <summary>The least-squares line through (x, y) (alg_calc_standard).</summary>
        public static StandardCurve CalcStandard(double[] x, double[] y)
        {
            Gate.NotNull(x, "x");
            Gate.NotNull(y, "y");
            var fit = new double[4];
            lock (Gate.Lock)
                Gate.Check("alg_calc_standard", Native.alg_calc_standard(x, Gate.Size(x.Length), y, Gate.Size(y.Length), fit));
            return new StandardCurve { Slope = fit[0], Intercept = fit[1], RmsResidual = fit[2], RSquared = fit[3] };
        }

        // Layout

        /// <summary>
        /// Asks the library whether it sees FittingResult as this binding lays it
        /// out (test_fitting_result): fills the probe's pattern, and checks that
        /// the library accepted it and rewrote every examined field as agreed.
        /// Throws InvalidOperationException naming the first field that differs.
        /// </summary>
        public static void CheckLayout()
        {
            FittingResult record = LayoutProbe.Pattern();
            int code = Native.test_fitting_result(ref record);
            if (code != (int)ResultCode.Ok)
                throw new InvalidOperationException("the library refused the layout probe (result " + code +
                                                    "): FittingResult is laid out differently");
            string field = LayoutProbe.FirstDifference(record, LayoutProbe.Answer());
            if (field != null)
                throw new InvalidOperationException("the layout probe's answer differs at " + field);
        }
    }

    /// <summary>
    /// The pattern of the library's layout probe (test_fitting_result) and the
    /// answer it gives: doubles at 0, 8, 16, 24, 128 hold 1.1 .. 5.5, the eight
    /// doubles from 32 hold 0..7, the int16s at 96, 98, 100 hold 1, 2, 3 and the
    /// bytes from 136 hold 1, 0, 1, ...; the answer has every double and int16
    /// doubled and every byte flipped. The sigmoid doubles and the padding are
    /// not examined.
    /// </summary>
    public static class LayoutProbe
    {
        public static FittingResult Pattern()
        {
            return new FittingResult
            {
                MaxSlopeIndex = 1.1, AmplificationRatio = 2.2, Reserved0 = 3.3, BaselineStep = 4.4,
                MaxCorrectedSlope = 0, Reserved1 = 1, ThirdValue = 2, RawMax = 3, Reserved2 = 4, Reserved3 = 5,
                BaselineSlope = 6, Reserved4 = 7,
                BaselineStart = 1, BaselineEnd = 2, Reserved5 = 3,
                BaselineSd = 5.5,
                LowSignal = 1, NoGrowth = 0, Reserved6Low = 0x0001, Reserved6High = 0x00010001, // bytes 1 0 | 1 0 1 0
            };
        }

        public static FittingResult Answer()
        {
            return new FittingResult
            {
                MaxSlopeIndex = 2.2, AmplificationRatio = 4.4, Reserved0 = 6.6, BaselineStep = 8.8,
                MaxCorrectedSlope = 0, Reserved1 = 2, ThirdValue = 4, RawMax = 6, Reserved2 = 8, Reserved3 = 10,
                BaselineSlope = 12, Reserved4 = 14,
                BaselineStart = 2, BaselineEnd = 4, Reserved5 = 6,
                BaselineSd = 11,
                LowSignal = 0, NoGrowth = 1, Reserved6Low = 0x0100, Reserved6High = 0x01000100, // bytes 0 1 | 0 1 0 1
            };
        }

        /// <summary>The first examined field whose bits differ between a and b, or null.</summary>
        public static string FirstDifference(FittingResult a, FittingResult b)
        {
            var fields = typeof(FittingResult).GetFields();
            foreach (var field in fields)
            {
                if (field.IsStatic || field.Name.StartsWith("Sigmoid", StringComparison.Ordinal)) continue;
                object x = field.GetValue(a), y = field.GetValue(b);
                bool same = x is double
                    ? BitConverter.DoubleToInt64Bits((double)x) == BitConverter.DoubleToInt64Bits((double)y)
                    : x.Equals(y);
                if (!same) return field.Name;
            }
            return null;
        }
    }
}
