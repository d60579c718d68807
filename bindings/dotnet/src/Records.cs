// The records of QuelmarAlg.h, laid out as the C compiler lays them out:
// sequential, natural alignment. Every field is a primitive of fixed size, so
// the structs are blittable: arrays of them are pinned and handed to the
// library as they are, never copied field by field. The layout test checks
// every offset against the header and against the library's layout probe.
using System.Runtime.InteropServices;

namespace QuelmarAlg
{
    /// <summary>
    /// The per-well record of the amplification functions (FittingResult, 144
    /// bytes). The host keeps one array of them per plate, one record per well
    /// in well order, and passes the same array from call to call: the baseline
    /// window chosen by one analysis is reused by the next. A zeroed record has
    /// its baseline chosen afresh. Reserved fields are never read or written.
    /// </summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct FittingResult
    {
        /// <summary>The record's size in bytes, as the library expects it.</summary>
        public const int Size = 144;

        public double MaxSlopeIndex;      // 0-based index of the steepest rise
        public double AmplificationRatio; // reading ratio at the threshold crossing
        public double Reserved0;
        public double BaselineStep;       // larger of two cycle-to-cycle increments
        public double MaxCorrectedSlope;  // steepest rise after slope correction
        public double Reserved1;
        public double ThirdValue;         // reading at index 2
        public double RawMax;             // largest reading
        public double Reserved2;
        public double Reserved3;
        public double BaselineSlope;      // slope of the baseline line
        public double Reserved4;
        public short BaselineStart;       // in/out: first baseline cycle, 0 = choose
        public short BaselineEnd;         // in/out: last baseline index, 0 = choose
        public short Reserved5;
        // Two bytes of padding follow, as in C.
        public double SigmoidAmplitude;   // plateau A of the fitted logistic
        public double SigmoidMidpoint;    // midpoint x0, a cycle number
        public double SigmoidSteepness;   // steepness k
        public double BaselineSd;         // standard deviation of the baseline
        public byte LowSignal;            // 1 when the curve never reaches 300
        public byte NoGrowth;             // 1 when the curve barely rises
        // The header's six reserved bytes at 138, as a 16-bit and a 32-bit
        // field: an array would make the struct non-blittable.
        public ushort Reserved6Low;
        public uint Reserved6High;

        public bool IsLowSignal { get { return LowSignal != 0; } }
        public bool IsNoGrowth { get { return NoGrowth != 0; } }
    }

    /// <summary>
    /// Options of a peak fit handle (MgfOptions): five doubles, copied bit for
    /// bit. Only PeakWidth, the expected width of a melting peak in degrees, is
    /// read; the other four are kept for the host.
    /// </summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct MgfOptions
    {
        public double Option0;
        public double Option1;
        public double PeakWidth;
        public double Option3;
        public double Option4;
    }

    /// <summary>Kinds of value in the quantification statistics.</summary>
    public enum DataKind
    {
        Quantities = 0,
        CtValues = 1,
    }

    /// <summary>How alg_calc_rq draws its error bounds.</summary>
    public enum ErrorBarType
    {
        StudentT = 1,
        SdMultiple = 2,
    }

    /// <summary>
    /// Options of the quantification statistics (RqOptions): five 32-bit
    /// integers, passed by reference (the functions take a pointer to the
    /// first field).
    /// </summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct RqOptions
    {
        public int DataKind;        // 1 = Ct values, anything else = quantities
        public int DataKind2;       // second kind code, read by alg_calc_rq
        public int ErrorBarType;    // 1 = Student-t interval, 2 = multiple of the SD
        public int ConfidenceIndex; // 0..5 = 95 %, 97 %, 99 %, 99.5 %, 99.7 %, 99.9 %
        public int SdMultiple;      // multiple of the SD for ErrorBarType 2
    }
}
