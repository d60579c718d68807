// The .NET binding against the built library.
//
//   mono BindingTests.exe --header QuelmarAlg.h --data DATA_DIR
//        --amplification-bits FILE --melting-bits FILE [--library PATH]
//
// The bits files are the C examples' output with --bits on the same bundled
// data (amplification_run, melting_run): the binding's runs of the plate and
// the melt must give every value with the same bits. --library names the
// library the runtime must have loaded (Linux: read from /proc/self/maps).
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;

namespace QuelmarAlg.Tests
{
    internal static class BindingTests
    {
        private static readonly Dictionary<string, string> Options = new Dictionary<string, string>();

        private static int Main(string[] args)
        {
            for (int i = 0; i + 1 < args.Length; i += 2) Options[args[i].TrimStart('-')] = args[i + 1];
            foreach (string required in new[] { "header", "data", "amplification-bits", "melting-bits" })
            {
                if (!Options.ContainsKey(required))
                {
                    Console.Error.WriteLine("usage: BindingTests.exe --header H --data DIR --amplification-bits F --melting-bits F [--library PATH]");
                    return 2;
                }
            }
            var runner = new Runner();
            runner.Add("the loaded library is the one built", LoadedLibrary);
            runner.Add("every export of the header is declared, with its arity", EveryExportDeclared);
            runner.Add("records: size and offsets as the header, blittable", RecordLayout);
            runner.Add("records: the library's layout probe", LayoutProbeAgrees);
            runner.Add("failures raise the code and the GBK message", FailuresRaise);
            runner.Add("each failure's message is its own under threads", MessagesUnderThreads);
            runner.Add("handles: use after release and double release refused", HandlesAfterRelease);
            runner.Add("handed-out arrays: released once, a second release harmless", ArraysReleasedOnce);
            runner.Add("values worked by hand, every remaining export", WorkedValues);
            runner.Add("plate analysis: records kept, a failed analysis changes nothing", PlateAnalysisRecords);
            runner.Add("plate through the binding: bit for bit as the C example", PlateBitForBit);
            runner.Add("melt through the binding: bit for bit as the C example", MeltBitForBit);
            return runner.Run();
        }

        // ------------------------------------------------------------------
        // The library and its declarations

        private static void LoadedLibrary()
        {
            Check.Equal("1.1.1", Alg.Version, "version()");
            string expected;
            if (!Options.TryGetValue("library", out expected) || !File.Exists("/proc/self/maps")) return;
            string real = Path.GetFullPath(expected);
            string[] mapped = File.ReadAllLines("/proc/self/maps").Where(l => l.Contains("libQuelmarAlg")).ToArray();
            Check.That(mapped.Length > 0, "no libQuelmarAlg mapped");
            // The soname link resolves to the versioned file; compare folders and names without the version.
            string mappedPath = mapped[0].Substring(mapped[0].IndexOf('/'));
            Check.Equal(Path.GetDirectoryName(real), Path.GetDirectoryName(mappedPath), "folder of the loaded library");
        }

        private static string HeaderWithoutComments()
        {
            return Regex.Replace(File.ReadAllText(Options["header"]), @"/\*.*?\*/", " ", RegexOptions.Singleline);
        }

        private static void EveryExportDeclared()
        {
            var declared = new Dictionary<string, int>();
            foreach (Match m in Regex.Matches(HeaderWithoutComments(), @"^\s*QUELMARALG_API\s[^;{(]*?\b(\w+)\s*\(([^)]*)\)",
                                              RegexOptions.Multiline))
            {
                string parameters = m.Groups[2].Value.Trim();
                declared[m.Groups[1].Value] = parameters == "void" ? 0 : parameters.Split(',').Length;
            }
            Check.Equal(32, declared.Count, "exports in the header");
            var bound = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
                .Where(method => method.GetCustomAttributes(typeof(DllImportAttribute), false).Length > 0)
                .ToDictionary(method => method.Name, method => method.GetParameters().Length);
            foreach (var export in declared)
            {
                Check.That(bound.ContainsKey(export.Key), export.Key + " has no P/Invoke declaration");
                Check.Equal(export.Value, bound[export.Key], export.Key + ": parameters");
            }
            Check.Equal(declared.Count, bound.Count, "P/Invoke declarations");
        }

        // ------------------------------------------------------------------
        // Records

        private static string Pascal(string snake)
        {
            return string.Concat(snake.Split('_').Select(part => char.ToUpperInvariant(part[0]) + part.Substring(1)));
        }

        private static void RecordLayout()
        {
            // The offsets the header states beside every field of FittingResult.
            string header = File.ReadAllText(Options["header"]);
            string record = Regex.Match(header, @"typedef struct FittingResult \{(.*?)\} FittingResult;", RegexOptions.Singleline)
                .Groups[1].Value;
            var stated = Regex.Matches(record, @"^\s*(?:double|int16_t|uint8_t)\s+(\w+)(?:\[\d+\])?;\s*/\*\s*(\d+)",
                                       RegexOptions.Multiline);
            Check.Equal(22, stated.Count, "fields of FittingResult in the header");
            foreach (Match field in stated)
            {
                string name = field.Groups[1].Value == "reserved6" ? "Reserved6Low" : Pascal(field.Groups[1].Value);
                Check.Equal(int.Parse(field.Groups[2].Value), (int)Marshal.OffsetOf(typeof(FittingResult), name), name + " offset");
            }
            Check.Equal(140, (int)Marshal.OffsetOf(typeof(FittingResult), "Reserved6High"), "Reserved6High offset");
            Check.Equal(FittingResult.Size, Marshal.SizeOf(typeof(FittingResult)), "sizeof(FittingResult)");
            Check.Equal(40, Marshal.SizeOf(typeof(MgfOptions)), "sizeof(MgfOptions)");
            Check.Equal(16, (int)Marshal.OffsetOf(typeof(MgfOptions), "PeakWidth"), "MgfOptions.PeakWidth offset");
            Check.Equal(20, Marshal.SizeOf(typeof(RqOptions)), "sizeof(RqOptions)");
            Check.Equal(12, (int)Marshal.OffsetOf(typeof(RqOptions), "ConfidenceIndex"), "RqOptions.ConfidenceIndex offset");
            // Only blittable arrays can be pinned: the library then works on the host's own array.
            foreach (Array array in new Array[] { new FittingResult[2], new MgfOptions[1], new RqOptions[1] })
                GCHandle.Alloc(array, GCHandleType.Pinned).Free();
        }

        private static void LayoutProbeAgrees()
        {
            Alg.CheckLayout();
            // The probe notices a field one place off: every byte pattern it
            // examines is checked, here the last reserved byte.
            FittingResult moved = LayoutProbe.Pattern();
            moved.Reserved6High = 0x01010001;
            Check.Equal((int)ResultCode.InvalidArgument, Native.test_fitting_result(ref moved), "probe with a wrong byte at 142");
            moved = LayoutProbe.Pattern();
            moved.BaselineEnd = 3;
            moved.Reserved5 = 2;
            Check.Equal((int)ResultCode.InvalidArgument, Native.test_fitting_result(ref moved), "probe with two int16 swapped");
        }

        // ------------------------------------------------------------------
        // Failures

        private static byte[] GbkBytes(string escaped)
        {
            return Regex.Matches(escaped, "..").Cast<Match>().Select(m => Convert.ToByte(m.Value, 16)).ToArray();
        }

        private static void FailuresRaise()
        {
            Check.That(Gbk.Available, "code page 936 is not available to this runtime");
            var e = Check.Throws<QuelmarAlgException>(() => Alg.Increasing(0, 1, 0), "alg_increasing with length 0");
            Check.Equal(ResultCode.InvalidArgument, e.Code, "code");
            Check.Equal("alg_increasing", e.Function, "function");
            // "length " + 长度必需大于0, as in the library's message table.
            Check.Equal("length \u957f\u5ea6\u5fc5\u9700\u5927\u4e8e0", e.LibraryMessage, "decoded message");
            Check.That(e.MessageBytes.SequenceEqual(Encoding.ASCII.GetBytes("length ").Concat(GbkBytes("b3a4b6c8b1d8d0e8b4f3d3da"))
                                                        .Concat(Encoding.ASCII.GetBytes("0"))), "message bytes");
            Check.That(e.Message.Contains("result 10") && e.Message.Contains(e.LibraryMessage), "exception message: " + e.Message);

            e = Check.Throws<QuelmarAlgException>(() => Alg.CubicInterpolation(new[] { 1.0, 2 }, new[] { 1.0, 2 }, new[] { 1.5 }),
                                                  "a spline through two knots");
            Check.Equal("\u6570\u7ec4\u957f\u5ea6\u5e94\u8be5\u5927\u4e8e\u7b49\u4e8e3\u3002", e.LibraryMessage, "decoded message");

            // Student-t bounds need 4..97 replicates: 3 is out of range.
            var options = new RqOptions { DataKind = 1, ErrorBarType = 1, ConfidenceIndex = 0 };
            e = Check.Throws<QuelmarAlgException>(() => Alg.CalcRq(options, new[] { 5.5, 1.2, 0.7, 3 }, 3.5), "RQ of three replicates");
            Check.Equal(ResultCode.OutOfRange, e.Code, "code");

            // A count of 2^61 is refused before anything is read.
            var one = new double[1];
            Check.Equal((int)ResultCode.Failure, Native.alg_run_smooth(one, new UIntPtr(1UL << 61)), "alg_run_smooth of 2^61 values");
            Check.Equal("bad array new length", Gbk.Decode(Gbk.Read(Native.get_last_error())), "message");

            // A call that succeeds empties the message.
            Alg.Increasing(0, 1, 1);
            Check.Equal("", Alg.LastError, "message after a success");
            // Bad arguments of the managed layer never reach the library.
            Check.Throws<ArgumentException>(() => Alg.CubicInterpolation(new[] { 1.0, 2, 3 }, new[] { 1.0 }, new double[0]), "y shorter than x");
            Check.Throws<ArgumentException>(() => Alg.CalcThreshold(new FittingResult[2], new double[5], 2, 3), "plate of 5 readings for 2 x 3");
        }

        private static void MessagesUnderThreads()
        {
            // One thread's calls succeed (and so empty the shared message) while
            // another's fail: every exception must still carry its own text.
            const int rounds = 2000;
            int wrong = 0;
            var stop = false;
            var busy = new Thread(() =>
            {
                var values = new[] { 1.0, 2, 3, 4, 5, 6 };
                while (!Volatile.Read(ref stop)) Alg.SuperSmooth(values, 1);
            });
            busy.Start();
            try
            {
                for (int i = 0; i < rounds; ++i)
                {
                    try
                    {
                        Alg.Increasing(0, 1, 0);
                    }
                    catch (QuelmarAlgException e)
                    {
                        if (!e.LibraryMessage.StartsWith("length ", StringComparison.Ordinal)) ++wrong;
                    }
                }
            }
            finally
            {
                Volatile.Write(ref stop, true);
                busy.Join();
            }
            Check.Equal(0, wrong, "exceptions with another call's message");
        }

        // ------------------------------------------------------------------
        // Lifetimes

        private static void HandlesAfterRelease()
        {
            var x = new[] { 79.0, 80, 81, 82 };
            var y = new[] { 0.5, 2, 0.5, 0.1 };
            GaussCoeffHandle set = GaussCoeffHandle.Create(new[] { 2.0 }, new[] { 80.0 }, new[] { 1.0 });
            MgfHandle fit = MgfHandle.Create(x, y, 0.5);
            Check.Equal(4, fit.MultiGauss(set).Length, "values of a live handle");
            set.Dispose();
            set.Dispose(); // a second release does nothing
            Check.That(set.IsClosed, "set closed");
            Check.Throws<ObjectDisposedException>(() => fit.MultiGauss(set), "a released set");
            Check.Throws<ObjectDisposedException>(() => fit.Solve(set), "a released set");
            Check.Throws<ObjectDisposedException>(() => set.GetData(), "reading a released set");
            // The refusals above kept no reference on the fit handle: it is released at once.
            fit.Dispose();
            Check.That(fit.IsClosed, "fit handle released");
            fit.Dispose();
            using (GaussCoeffHandle live = GaussCoeffHandle.Create())
            {
                Check.Throws<ObjectDisposedException>(() => fit.Solve(live), "a released fit handle");
                Check.Throws<ObjectDisposedException>(() => fit.MultiGauss(live), "a released fit handle");
            }
            // The raw declarations are refused by the runtime's marshaller.
            using (MgfHandle raw = MgfHandle.Create(x, y, 0.5))
                Check.Throws<ObjectDisposedException>(() => Native.alg_mgf_solve(raw, set), "a released set through the raw call");

            // A call that fails hands out no handle: nothing to release, nothing released.
            var e = Check.Throws<QuelmarAlgException>(() => MgfHandle.Create(x, y, -1.0).LocalMaxima(), "a negative peak width");
            Check.Equal(ResultCode.InvalidArgument, e.Code, "code");
            GaussCoeffHandle none;
            using (MgfHandle negative = MgfHandle.Create(x, y, -1.0))
                Check.Equal((int)ResultCode.InvalidArgument, Native.alg_mgf_local_max_value_id(negative, out none), "raw call");
            Check.That(none.IsInvalid, "the handle of a failed call is invalid");
            none.Dispose();

            // Handles the host forgets are given back by their finalizers.
            for (int i = 0; i < 100; ++i) GaussCoeffHandle.Create(new[] { 1.0 }, new[] { 80.0 }, new[] { 1.0 });
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }

        private static void ArraysReleasedOnce()
        {
            double[] t = Alg.Increasing(70, 0.5, 12);
            double[] f = t.Select(v => 1.0 / (1.0 + Math.Exp(v - 75))).ToArray();
            UIntPtr count;
            IntPtr grid, derivative;
            Check.Equal(0, Native.alg_melting(new UIntPtr((uint)t.Length), t, f, out count, out grid, out derivative), "alg_melting");
            Check.Equal(10UL * 12 - 9, count.ToUInt64(), "grid length");
            Check.Equal(0, Native.alg_darray_release(ref grid), "first release");
            Check.Equal(IntPtr.Zero, grid, "the variable after the release");
            Check.Equal(0, Native.alg_darray_release(ref grid), "second release");
            Check.Equal(0, Native.alg_darray_release(ref derivative), "release");
            IntPtr nothing = IntPtr.Zero;
            Check.Equal(0, Native.alg_darray_release(ref nothing), "release of NULL");
            // The managed layer copies and gives back by itself.
            MeltingCurve curve = Alg.Melting(t, f);
            Check.Equal(111, curve.Temperature.Length, "copied grid");
            Check.Equal(curve.Temperature[110], t[11], "last grid point");
        }

        // ------------------------------------------------------------------
        // Values worked by hand

        private static void WorkedValues()
        {
            // y = 10 - (x - 5)^2 at x = 1..9: the parabola's vertex, 10.
            double[] parabola = Enumerable.Range(1, 9).Select(x => 10.0 - (x - 5.0) * (x - 5.0)).ToArray();
            Check.Near(10.0, Alg.SampleDataFitting(parabola), 1e-12, "vertex");

            double[] line = Alg.Increasing(1, 0.5, 10);
            Check.That(line.SequenceEqual(new[] { 1.0, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5 }), "running sums");
            var smoothed = (double[])line.Clone();
            Alg.RunSmooth(smoothed);
            for (int i = 0; i < line.Length; ++i) Check.Near(line[i], smoothed[i], 1e-12, "a line smoothed, at " + i);
            Check.Equal(line[9], smoothed[9], "the last sample");
            var averaged = (double[])line.Clone();
            Alg.SuperSmooth(averaged, 1);
            Check.Equal(1.25, averaged[0], "window cut at the start");
            Check.Equal(1.5, averaged[1], "mean of three");

            var cycles = new[] { 0.0, 2, 1e9 };
            Alg.Sigmoid(2, 0, 1, cycles);
            Check.Near(1.0, cycles[0], 0, "logistic at its midpoint");
            Check.Near(2 / (1 + Math.Exp(-2)), cycles[1], 1e-15, "logistic at 2");
            Check.Equal(2.0, cycles[2], "plateau");

            // The logistic stored in a record gives x0 - ln(2 + sqrt 3) / k - 1.5.
            var records = new[] { new FittingResult { SigmoidAmplitude = 1000, SigmoidMidpoint = 20, SigmoidSteepness = 0.5 },
                                  new FittingResult { SigmoidAmplitude = 5, SigmoidMidpoint = 20, SigmoidSteepness = 0.5 } };
            double[] ct = Alg.SigmoidBatchCalcCt(records);
            Check.Near(20 - Math.Log(2 + Math.Sqrt(3)) / 0.5 - 1.5, ct[0], 1e-14, "sigmoid Ct");
            Check.That(double.IsNaN(ct[1]), "no Ct below an amplitude of 10");

            double[] spline = Alg.CubicInterpolation(new[] { 0.0, 1, 2, 3 }, new[] { 1.0, 3, 5, 7 }, new[] { 0.5, 2.5, 4 });
            for (int i = 0; i < 3; ++i) Check.Near(new[] { 2.0, 6, 9 }[i], spline[i], 1e-12, "spline through a line");
            Check.That(Alg.InterpolationX(new[] { 0.0, 7, 2 }, 2).SequenceEqual(new[] { 0.0, 0.5, 1, 1.5, 2 }), "refined grid");

            var peaks = new[] { 0.0, 1, 5, 1, 0, 0, 1, 8 };
            Alg.MeltingNormalization(peaks);
            Check.That(peaks.All(v => v >= 0) && peaks[7] > peaks[2] && peaks[0] == 0, "background removed");

            var temperatures = new[] { 78.0, 79, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89 };
            using (var set = GaussCoeffHandle.Create(new[] { 2.0, 1 }, new[] { 80.0, 85 }, new[] { 1.0, 0.5 }))
            using (var fit = MgfHandle.Create(temperatures, temperatures.Select(t => 0.0).ToArray(), 0.5))
            {
                GaussPeaks data = set.GetData();
                Check.That(data.Heights.SequenceEqual(new[] { 2.0, 1 }) && data.Centres.SequenceEqual(new[] { 80.0, 85 }) &&
                           data.Widths.SequenceEqual(new[] { 1.0, 0.5 }), "fields read back");
                Check.Near(2.3548, data.Fwhm(0), 0, "FWHM");
                double[] sum = fit.MultiGauss(set);
                Check.Equal(12, sum.Length, "one value per temperature");
                Check.Near(2 + Math.Exp(-50), sum[2], 1e-15, "sum at 80");
                Check.Near(2 * Math.Exp(-0.5), sum[1], 1e-15, "sum at 79");
                double[] background;
                Check.Equal(12, fit.MeltingStimulate(set, out background).Length, "stimulated curve");
                Check.Equal(3, background.Length, "background");
                Check.Equal(2, fit.MeltingStimPeak(set, background).Length, "one value per peak");
                using (var tall = set.Filter(1.5, 5, 0))
                    Check.That(tall.GetData().Centres.SequenceEqual(new[] { 80.0 }), "filter by height");
                using (var wide = set.Filter(0, 5, 2))
                    Check.That(wide.GetData().Centres.SequenceEqual(new[] { 80.0 }), "filter by width");
            }
            using (var origin = GaussCoeffHandle.LocalMaxima(new[] { 1.0, 2, 3, 4, 5 }, new[] { 0.0, 1, 0, 3, 2 }))
            {
                GaussPeaks maxima = origin.GetData();
                Check.That(maxima.Centres.SequenceEqual(new[] { 2.0, 4 }) && maxima.Widths.All(w => w == 1.7), "raw maxima");
            }

            // Replicate statistics and RQ (worked with the Python suite's values).
            double[] sd = Alg.CalcSd(new RqOptions { DataKind = 1 }, new[] { 3.0, 20, 21, 22, 1, 2, 15, 16 });
            Check.Equal(13, sd.Length, "3 g + 10 values");
            Check.Near(5.5, sd[0], 1e-12, "difference");
            Check.Near(Math.Sqrt(1.5), sd[1], 1e-12, "SD");
            Check.Near(Math.Sqrt(0.25 + 1.0 / 3), sd[2], 1e-12, "SE");
            Check.Equal(5.0, sd[3], "N");
            var sdOptions = new RqOptions { DataKind = 1, DataKind2 = 0, ErrorBarType = 2, ConfidenceIndex = 0, SdMultiple = 1 };
            double[] rq = Alg.CalcRq(sdOptions, new[] { 5.5, 1.224744871391589, 0.7637626158259734, 5 }, 3.5);
            Check.Near(0.25, rq[3], 1e-12, "RQ");
            Check.Near(Math.Pow(2, -1.224744871391589 - 2), rq[4], 1e-12, "lower");
            Check.Near(Math.Pow(2, 1.224744871391589 - 2), rq[5], 1e-12, "upper");
            Check.Near(2.0, rq[6], 1e-12, "ddCt");

            StandardCurve curve = Alg.CalcStandard(new[] { 1.0, 2, 3, 4, 5 }, new[] { 1.0, 2, 3, 4, 5 }.Select(q => -3.3 * q + 38).ToArray());
            Check.Near(-3.3, curve.Slope, 1e-12, "slope");
            Check.Near(38, curve.Intercept, 1e-12, "intercept");
            Check.Near(1, curve.RSquared, 1e-12, "R squared");
            Check.Throws<QuelmarAlgException>(() => Alg.CalcStandard(new[] { 1.0 }, new double[0]), "unequal lengths");
        }

        // ------------------------------------------------------------------
        // The plate idiom

        private static double[,] Plate(PlateCsv table)
        {
            var readings = new double[table.Columns.Length, table.First.Length];
            for (int w = 0; w < table.Columns.Length; ++w)
                for (int c = 0; c < table.First.Length; ++c) readings[w, c] = table.Columns[w][c];
            return readings;
        }

        private static void PlateAnalysisRecords()
        {
            double[,] readings = Plate(PlateCsv.Read(Path.Combine(Options["data"], "reps384.csv")));
            var plate = new PlateAnalysis(readings.GetLength(0));
            PlateResult first = plate.Analyze(readings);
            Check.That(plate.Records[0].BaselineEnd != 0, "a baseline was chosen");
            PlateResult again = plate.Analyze(readings);
            Check.That(first.LinearCt.SequenceEqual(again.LinearCt), "the chosen baselines give the same Ct again");

            // A baseline window past the end of the curve: refused, records as they were.
            plate.Records[5].BaselineStart = 40;
            plate.Records[5].BaselineEnd = 60;
            FittingResult[] before = (FittingResult[])plate.Records.Clone();
            var e = Check.Throws<QuelmarAlgException>(() => plate.Analyze(readings), "a window past the curve");
            Check.Equal(ResultCode.OutOfRange, e.Code, "code");
            Check.That(before.SequenceEqual(plate.Records), "records after the failed analysis");
            Check.Throws<ArgumentException>(() => plate.Analyze(new double[3, 45]), "three rows for a plate of 379 wells");
            plate.Reset();
            Check.That(plate.Records.All(r => r.Equals(default(FittingResult))), "reset");
        }

        // ------------------------------------------------------------------
        // Bit for bit against the C examples

        private static string Bits(double value)
        {
            return BitConverter.DoubleToInt64Bits(value).ToString("x16");
        }

        /// <summary>"label index" to bits, from a C example's --bits output.</summary>
        private static Dictionary<string, string> ReadBits(string path)
        {
            var values = new Dictionary<string, string>();
            foreach (string line in File.ReadAllLines(path))
            {
                int last = line.LastIndexOf(' ');
                Check.That(last > 0 && !values.ContainsKey(line.Substring(0, last)), "bits file line: " + line);
                values.Add(line.Substring(0, last), line.Substring(last + 1));
            }
            return values;
        }

        private sealed class Dump
        {
            public readonly Dictionary<string, string> Values = new Dictionary<string, string>();

            public void Add(string label, long index, double value)
            {
                Values.Add(label + " " + index, Bits(value));
            }

            public void Add(string label, long index, long word, int digits)
            {
                Values.Add(label + " " + index, word.ToString("x" + digits));
            }

            public void Add(string label, double[] values)
            {
                for (int i = 0; i < values.Length; ++i) Add(label, i, values[i]);
            }
        }

        /// <summary>
        /// Compares every value; returns (inputs, results) compared, where inputs
        /// are the readings as parsed (a difference there is the CSV parser's).
        /// </summary>
        private static void Compare(string what, Dictionary<string, string> expected, Dump got, Func<string, bool> isInput)
        {
            var missing = expected.Keys.Where(k => !got.Values.ContainsKey(k)).ToList();
            var extra = got.Values.Keys.Where(k => !expected.ContainsKey(k)).ToList();
            var differ = expected.Keys.Where(k => got.Values.ContainsKey(k) && got.Values[k] != expected[k]).ToList();
            int inputs = expected.Keys.Count(isInput);
            Console.WriteLine("  {0}: {1} results and {2} readings compared bit for bit, {3} differ, {4} missing, {5} extra",
                              what, expected.Count - inputs, inputs, differ.Count, missing.Count, extra.Count);
            foreach (string key in differ.Take(5)) Console.WriteLine("    {0}: C {1}, .NET {2}", key, expected[key], got.Values[key]);
            foreach (string key in missing.Concat(extra).Take(5)) Console.WriteLine("    only on one side: {0}", key);
            Check.That(differ.Count == 0 && missing.Count == 0 && extra.Count == 0, what + " differs from the C example");
        }

        private static void PlateBitForBit()
        {
            PlateCsv table = PlateCsv.Read(Path.Combine(Options["data"], "reps384.csv"));
            double[,] readings = Plate(table);
            int wells = readings.GetLength(0), cycles = readings.GetLength(1);
            PlateResult result = new PlateAnalysis(wells).Analyze(readings);

            var dump = new Dump();
            for (int w = 0; w < wells; ++w)
                for (int c = 0; c < cycles; ++c) dump.Add("reading", (long)w * cycles + c, readings[w, c]);
            dump.Add("threshold", 0, result.Threshold);
            for (int w = 0; w < wells; ++w)
            {
                dump.Add("linear_ct", w, result.LinearCt[w]);
                dump.Add("sigmoid_ct", w, result.SigmoidCt[w]);
                AddRecord(dump, w, result.Records[w]);
            }
            // The library's order: cycle after cycle.
            for (int c = 0; c < cycles; ++c)
                for (int w = 0; w < wells; ++w) dump.Add("curve", (long)c * wells + w, result.Curves[w, c]);
            Compare("plate " + wells + " wells x " + cycles + " cycles", ReadBits(Options["amplification-bits"]), dump,
                    key => key.StartsWith("reading ", StringComparison.Ordinal));
        }

        private static void AddRecord(Dump dump, int w, FittingResult r)
        {
            dump.Add("record.max_slope_index", w, r.MaxSlopeIndex);
            dump.Add("record.amplification_ratio", w, r.AmplificationRatio);
            dump.Add("record.reserved0", w, r.Reserved0);
            dump.Add("record.baseline_step", w, r.BaselineStep);
            dump.Add("record.max_corrected_slope", w, r.MaxCorrectedSlope);
            dump.Add("record.reserved1", w, r.Reserved1);
            dump.Add("record.third_value", w, r.ThirdValue);
            dump.Add("record.raw_max", w, r.RawMax);
            dump.Add("record.reserved2", w, r.Reserved2);
            dump.Add("record.reserved3", w, r.Reserved3);
            dump.Add("record.baseline_slope", w, r.BaselineSlope);
            dump.Add("record.reserved4", w, r.Reserved4);
            dump.Add("record.baseline_start", w, (ushort)r.BaselineStart, 4);
            dump.Add("record.baseline_end", w, (ushort)r.BaselineEnd, 4);
            dump.Add("record.reserved5", w, (ushort)r.Reserved5, 4);
            dump.Add("record.sigmoid_amplitude", w, r.SigmoidAmplitude);
            dump.Add("record.sigmoid_midpoint", w, r.SigmoidMidpoint);
            dump.Add("record.sigmoid_steepness", w, r.SigmoidSteepness);
            dump.Add("record.baseline_sd", w, r.BaselineSd);
            dump.Add("record.low_signal", w, r.LowSignal, 2);
            dump.Add("record.no_growth", w, r.NoGrowth, 2);
            ulong reserved6 = r.Reserved6Low | ((ulong)r.Reserved6High << 16); // little-endian bytes 138..143
            for (int k = 0; k < 6; ++k) dump.Add("record.reserved6[" + k + "]", w, (long)((reserved6 >> (8 * k)) & 0xff), 2);
        }

        // The melting example's road (examples/melting_run.c), with its constants.
        private const int SmoothHalfWindow = 20;
        private const double PeakWidth = 0.5;
        private const double MinHeightShare = 0.10;
        private const double MinFwhm = 0.3;
        private const double MaxFwhm = 5.0;

        private static void MeltBitForBit()
        {
            PlateCsv table = PlateCsv.Read(Path.Combine(Options["data"], "dyemelt.csv"));
            var dump = new Dump();
            // Columns come in pairs: a temperature column, then the dye's readings.
            for (int c = 0; c + 1 <= table.Names.Length; c += 2)
            {
                string dye = table.Names[c];
                double[] temperature = c == 0 ? table.First : table.Columns[c - 1];
                double[] fluorescence = table.Columns[c];
                dump.Add(dye + ".temperature", temperature);
                dump.Add(dye + ".fluorescence", fluorescence);
                MeltingCurve curve = Alg.Melting(temperature, fluorescence);
                dump.Add(dye + ".grid", curve.Temperature);
                dump.Add(dye + ".derivative", curve.Derivative);
                var conditioned = (double[])curve.Derivative.Clone();
                Alg.SuperSmooth(conditioned, SmoothHalfWindow);
                Alg.MeltingNormalization(conditioned);
                dump.Add(dye + ".conditioned", conditioned);
                double top = 0.0;
                foreach (double v in conditioned)
                    if (v > top) top = v;

                using (MgfHandle fit = MgfHandle.Create(curve.Temperature, conditioned, PeakWidth))
                using (GaussCoeffHandle maxima = fit.LocalMaxima())
                using (GaussCoeffHandle candidates = maxima.Filter(MinHeightShare * top, double.PositiveInfinity, 0.0))
                {
                    AddSet(dump, dye + ".maxima", maxima);
                    AddSet(dump, dye + ".candidates", candidates);
                    fit.Solve(candidates);
                    AddSet(dump, dye + ".fitted", candidates);
                    using (GaussCoeffHandle peaks = candidates.Filter(MinHeightShare * top, MaxFwhm, MinFwhm))
                        AddSet(dump, dye + ".peaks", peaks);
                }
            }
            Compare("melt of " + (table.Names.Length + 1) / 2 + " dyes", ReadBits(Options["melting-bits"]), dump,
                    key => key.Contains(".temperature ") || key.Contains(".fluorescence "));
        }

        private static void AddSet(Dump dump, string label, GaussCoeffHandle set)
        {
            GaussPeaks peaks = set.GetData();
            dump.Add(label + ".height", peaks.Heights);
            dump.Add(label + ".centre", peaks.Centres);
            dump.Add(label + ".width", peaks.Widths);
        }
    }
}
