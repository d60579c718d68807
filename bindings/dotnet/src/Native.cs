// The 32 exports of QuelmarAlg.h, one P/Invoke declaration each, under their C
// names and in the header's order. QuelmarAlg.h is the reference for what
// every argument means, its units, who owns which memory and every result code;
// the comments here only say how the C types were mapped.
//
//   size_t              UIntPtr (nuint from C# 9 on)
//   const double*       double[] (pinned, read)
//   double* (in/out)    [In, Out] double[] (pinned, written in place)
//   double* (one value) out double
//   double** handed out out IntPtr: copy it, then give it back with
//                       alg_darray_release (Library does both)
//   FittingResult*      [In, Out] FittingResult[] or ref FittingResult
//   GaussCoeff*, MgfHandle*   GaussCoeffHandle, MgfHandle (SafeHandle): a
//                       released handle is refused before the call
//   const int32_t* options    [In] ref RqOptions
//   const char*         IntPtr to GBK bytes, owned by the library
//
// Nothing here is synchronised: the last-error text is one buffer for the whole
// process. Library, the managed layer over these, reads each failed call's
// message under one lock.
using System;
using System.Runtime.InteropServices;

namespace QuelmarAlg
{
    public static class Native
    {
        /// <summary>
        /// The library's name as the runtime resolves it: QuelmarAlg.dll on
        /// Windows, libQuelmarAlg.so on Linux.
        /// </summary>
        public const string LibraryName = "QuelmarAlg";

        private const CallingConvention Cdecl = CallingConvention.Cdecl;

        // Frame

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr get_last_error();

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern IntPtr version();

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_darray_release(ref IntPtr array);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int test_fitting_result(ref FittingResult record);

        // Smoothing and fitting

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_sample_data_fitting(double[] data, UIntPtr count, out double result);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_run_smooth([In, Out] double[] data, UIntPtr count);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_super_smooth([In, Out] double[] data, UIntPtr count, int halfWindow);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_increasing(double start, double step, UIntPtr length, [Out] double[] output);

        // Amplification

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_sigmoid(double[] parameters, [In, Out] double[] values, UIntPtr n);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_sigmoid_batch_calc_ct(FittingResult[] records, UIntPtr recordCount, UIntPtr unused,
                                                           [Out] double[] ct);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_calc_threshold([In, Out] FittingResult[] records, UIntPtr recordCount, double[] data,
                                                    UIntPtr wellCount, UIntPtr cycleCount, out double threshold);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_linear_batch_calc_ct([In, Out] FittingResult[] records, UIntPtr recordCount,
                                                          double threshold, double[] data, UIntPtr wellCount,
                                                          UIntPtr cycleCount, [Out] double[] curves, [Out] double[] ct);

        // Interpolation

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_cubic_interpolation(double[] x, double[] y, UIntPtr n, double[] xq,
                                                         [Out] double[] yq, UIntPtr nq);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_interpolation_x(double[] x, UIntPtr n, UIntPtr factor, [Out] double[] output);

        // Melting curves

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_melting(UIntPtr count, double[] temperature, double[] fluorescence,
                                             out UIntPtr outCount, out IntPtr outTemperature, out IntPtr outDerivative);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_melting_normalization([In, Out] double[] values, UIntPtr n);

        // Melting peak decomposition

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_create_gausscoeff(out GaussCoeffHandle set);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_gausscoeff_release(ref IntPtr set);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_set_gausscoeff_data(GaussCoeffHandle set, UIntPtr amplitudeCount, double[] amplitude,
                                                         UIntPtr centerCount, double[] center, UIntPtr sigmaCount,
                                                         double[] sigma);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_get_gausscoeff_data(GaussCoeffHandle set, out UIntPtr amplitudeCount,
                                                         out IntPtr amplitude, out UIntPtr centerCount, out IntPtr center,
                                                         out UIntPtr sigmaCount, out IntPtr sigma);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_create(double[] x, UIntPtr xCount, double[] y, UIntPtr yCount,
                                                [In] ref MgfOptions options, out MgfHandle handle);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_release(ref IntPtr handle);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_multi_gauss(MgfHandle handle, GaussCoeffHandle set, out IntPtr values,
                                                     out UIntPtr count);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_solve(MgfHandle handle, GaussCoeffHandle set);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_local_max_value_id(MgfHandle handle, out GaussCoeffHandle set);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_local_max_value_id_origin(double[] x, UIntPtr xCount, double[] y, UIntPtr yCount,
                                                                   out GaussCoeffHandle set);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_melting_stim_peak(MgfHandle handle, GaussCoeffHandle set, double[] background,
                                                           out IntPtr values, out UIntPtr count);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_melting_stimulate(MgfHandle handle, GaussCoeffHandle set,
                                                           [Out] double[] background, out IntPtr values,
                                                           out UIntPtr count);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_mgf_coeff_filter(double[] limits, GaussCoeffHandle set, out GaussCoeffHandle filtered);

        // Quantification statistics

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_calc_sd([In] ref RqOptions options, double[] data, UIntPtr n, out IntPtr outValues,
                                             out UIntPtr outCount);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_calc_rq([In] ref RqOptions options, double[] summary, UIntPtr n, double calibrator,
                                             [Out] double[] result);

        [DllImport(LibraryName, CallingConvention = Cdecl, ExactSpelling = true)]
        public static extern int alg_calc_standard(double[] x, UIntPtr nx, double[] y, UIntPtr ny, [Out] double[] output);
    }
}
