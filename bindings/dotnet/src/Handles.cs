// The library's two kinds of object as SafeHandles: each is given back exactly
// once, by Dispose or, when the host forgets, by the finalizer; a call with a
// handle already given back is refused by the runtime (ObjectDisposedException)
// before it reaches the library; and a handle cannot be given back while a call
// that uses it is running.
using System;
using Microsoft.Win32.SafeHandles;

namespace QuelmarAlg
{
    /// <summary>The three fields of a peak set: heights, centres (the Tm values) and widths (sigma).</summary>
    public sealed class GaussPeaks
    {
        public GaussPeaks(double[] heights, double[] centres, double[] widths)
        {
            Heights = heights;
            Centres = centres;
            Widths = widths;
        }

        public double[] Heights { get; private set; }
        public double[] Centres { get; private set; }
        public double[] Widths { get; private set; }

        /// <summary>The number of peaks (the number of centres).</summary>
        public int Count { get { return Centres.Length; } }

        /// <summary>Full width at half maximum of peak i, in degrees (2.3548 sigma, as the filter computes it).</summary>
        public double Fwhm(int i)
        {
            return Widths[i] * 2.3548;
        }
    }

    /// <summary>A set of Gaussian peaks (GaussCoeff).</summary>
    public sealed class GaussCoeffHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        // The marshaller makes these for the library's out parameters.
        private GaussCoeffHandle() : base(true)
        {
        }

        /// <summary>A new empty set (alg_create_gausscoeff).</summary>
        public static GaussCoeffHandle Create()
        {
            GaussCoeffHandle set;
            lock (Gate.Lock) Gate.Check("alg_create_gausscoeff", Native.alg_create_gausscoeff(out set));
            return set;
        }

        /// <summary>A new set holding copies of the three fields.</summary>
        public static GaussCoeffHandle Create(double[] heights, double[] centres, double[] widths)
        {
            GaussCoeffHandle set = Create();
            try
            {
                set.SetData(heights, centres, widths);
            }
            catch
            {
                set.Dispose();
                throw;
            }
            return set;
        }

        /// <summary>
        /// One peak per strict local maximum of y, centred at x, all of width 1.7
        /// (alg_mgf_local_max_value_id_origin). x may be longer than y.
        /// </summary>
        public static GaussCoeffHandle LocalMaxima(double[] x, double[] y)
        {
            Gate.NotNull(x, "x");
            Gate.NotNull(y, "y");
            GaussCoeffHandle set;
            lock (Gate.Lock)
                Gate.Check("alg_mgf_local_max_value_id_origin",
                           Native.alg_mgf_local_max_value_id_origin(x, Gate.Size(x.Length), y, Gate.Size(y.Length), out set));
            return set;
        }

        /// <summary>Replaces the three fields with copies of the arrays (alg_set_gausscoeff_data).</summary>
        public void SetData(double[] heights, double[] centres, double[] widths)
        {
            Gate.NotNull(heights, "heights");
            Gate.NotNull(centres, "centres");
            Gate.NotNull(widths, "widths");
            lock (Gate.Lock)
                Gate.Check("alg_set_gausscoeff_data",
                           Native.alg_set_gausscoeff_data(this, Gate.Size(heights.Length), heights, Gate.Size(centres.Length),
                                                          centres, Gate.Size(widths.Length), widths));
        }

        /// <summary>Copies of the three fields (alg_get_gausscoeff_data).</summary>
        public GaussPeaks GetData()
        {
            IntPtr heights = IntPtr.Zero, centres = IntPtr.Zero, widths = IntPtr.Zero;
            try
            {
                UIntPtr heightCount, centreCount, widthCount;
                lock (Gate.Lock)
                {
                    int code = Native.alg_get_gausscoeff_data(this, out heightCount, out heights, out centreCount, out centres,
                                                              out widthCount, out widths);
                    if (code != 0) heights = centres = widths = IntPtr.Zero; // nothing was handed out
                    Gate.Check("alg_get_gausscoeff_data", code);
                }
                return new GaussPeaks(Gate.Copy(heights, heightCount), Gate.Copy(centres, centreCount),
                                      Gate.Copy(widths, widthCount));
            }
            finally
            {
                Gate.Release(ref heights);
                Gate.Release(ref centres);
                Gate.Release(ref widths);
            }
        }

        /// <summary>
        /// A new set with the peaks higher than minHeight whose FWHM lies in
        /// [minFwhm, maxFwhm], in their order (alg_mgf_coeff_filter).
        /// </summary>
        public GaussCoeffHandle Filter(double minHeight, double maxFwhm, double minFwhm)
        {
            var limits = new[] { minHeight, maxFwhm, minFwhm };
            GaussCoeffHandle filtered;
            lock (Gate.Lock) Gate.Check("alg_mgf_coeff_filter", Native.alg_mgf_coeff_filter(limits, this, out filtered));
            return filtered;
        }

        protected override bool ReleaseHandle()
        {
            IntPtr set = handle;
            lock (Gate.Lock) Native.alg_gausscoeff_release(ref set);
            return true;
        }
    }

    /// <summary>A fit handle over a melting peak curve (MgfHandle): temperatures, values and options.</summary>
    public sealed class MgfHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        private MgfHandle() : base(true)
        {
        }

        /// <summary>
        /// A handle over the curve (alg_mgf_create); the arrays and options are
        /// copied. x ascends; y has one value per temperature for every use but
        /// creation.
        /// </summary>
        public static MgfHandle Create(double[] x, double[] y, MgfOptions options)
        {
            Gate.NotNull(x, "x");
            Gate.NotNull(y, "y");
            MgfHandle fit;
            lock (Gate.Lock)
                Gate.Check("alg_mgf_create",
                           Native.alg_mgf_create(x, Gate.Size(x.Length), y, Gate.Size(y.Length), ref options, out fit));
            return fit;
        }

        /// <summary>A handle whose options hold only the expected peak width, in degrees.</summary>
        public static MgfHandle Create(double[] x, double[] y, double peakWidth)
        {
            return Create(x, y, new MgfOptions { PeakWidth = peakWidth });
        }

        /// <summary>The sum of the set's Gaussians at every temperature (alg_mgf_multi_gauss).</summary>
        public double[] MultiGauss(GaussCoeffHandle set)
        {
            Gate.NotNull(set, "set");
            using (Gate.Hold(this, set))
                return Gate.CopyHandedOut("alg_mgf_multi_gauss",
                    (out IntPtr v, out UIntPtr n) => Native.alg_mgf_multi_gauss(this, set, out v, out n));
        }

        /// <summary>Refines the set in place by the damped least-squares fit (alg_mgf_solve).</summary>
        public void Solve(GaussCoeffHandle set)
        {
            Gate.NotNull(set, "set");
            using (Gate.Hold(this, set))
            lock (Gate.Lock) Gate.Check("alg_mgf_solve", Native.alg_mgf_solve(this, set));
        }

        /// <summary>The initial peaks of the curve, one per strict local maximum (alg_mgf_local_max_value_id).</summary>
        public GaussCoeffHandle LocalMaxima()
        {
            GaussCoeffHandle set;
            lock (Gate.Lock) Gate.Check("alg_mgf_local_max_value_id", Native.alg_mgf_local_max_value_id(this, out set));
            return set;
        }

        /// <summary>
        /// The synthetic melting curve at the set's peak centres over the given
        /// background (level, midpoint, steepness) (alg_mgf_melting_stim_peak).
        /// </summary>
        public double[] MeltingStimPeak(GaussCoeffHandle set, double[] background)
        {
            Gate.NotNull(set, "set");
            Gate.NotNull(background, "background");
            Gate.Require(background.Length == 3, "background", "three values: level, midpoint, steepness");
            using (Gate.Hold(this, set))
                return Gate.CopyHandedOut("alg_mgf_melting_stim_peak",
                    (out IntPtr v, out UIntPtr n) => Native.alg_mgf_melting_stim_peak(this, set, background, out v, out n));
        }

        /// <summary>
        /// The synthetic melting curve on the handle's temperatures, and the
        /// background derived for it (level, midpoint, steepness) (alg_mgf_melting_stimulate).
        /// </summary>
        public double[] MeltingStimulate(GaussCoeffHandle set, out double[] background)
        {
            Gate.NotNull(set, "set");
            var derived = new double[3];
            using (Gate.Hold(this, set))
            {
                double[] copy = Gate.CopyHandedOut("alg_mgf_melting_stimulate",
                    (out IntPtr v, out UIntPtr n) => Native.alg_mgf_melting_stimulate(this, set, derived, out v, out n));
                background = derived;
                return copy;
            }
        }

        protected override bool ReleaseHandle()
        {
            IntPtr fit = handle;
            lock (Gate.Lock) Native.alg_mgf_release(ref fit);
            return true;
        }
    }
}
