using System;

namespace QuelmarAlg
{
    /// <summary>What one analysis of a plate gives, per well in well order.</summary>
    public sealed class PlateResult
    {
        internal PlateResult(double threshold, double[] linearCt, double[] sigmoidCt, FittingResult[] records,
                             double[,] curves)
        {
            Threshold = threshold;
            LinearCt = linearCt;
            SigmoidCt = sigmoidCt;
            Records = records;
            Curves = curves;
        }

        /// <summary>The plate's fluorescence threshold.</summary>
        public double Threshold { get; private set; }

        /// <summary>Ct by linear interpolation at the threshold crossing, NaN without a crossing.</summary>
        public double[] LinearCt { get; private set; }

        /// <summary>Ct from the fitted logistic, NaN without a usable fit.</summary>
        public double[] SigmoidCt { get; private set; }

        /// <summary>A copy of every well's record after the analysis.</summary>
        public FittingResult[] Records { get; private set; }

        /// <summary>The conditioned curves, [well, cycle index] like the readings.</summary>
        public double[,] Curves { get; private set; }
    }

    /// <summary>
    /// The amplification analysis of one plate, as a host runs it: one threshold
    /// for the plate, then a Ct per well by threshold crossing and one from the
    /// fitted logistic. The object keeps the wells' records from one analysis to
    /// the next, so that a baseline window, once chosen or set by the host, is
    /// reused (the library's contract); Reset has every baseline chosen afresh.
    /// </summary>
    /// <example>
    /// var plate = new PlateAnalysis(readings.GetLength(0));
    /// PlateResult result = plate.Analyze(readings); // readings[well, cycle]
    /// </example>
    public sealed class PlateAnalysis
    {
        private readonly FittingResult[] records;

        public PlateAnalysis(int wellCount)
        {
            if (wellCount < 0) throw new ArgumentOutOfRangeException("wellCount");
            records = new FittingResult[wellCount];
        }

        public int WellCount { get { return records.Length; } }

        /// <summary>The records the next analysis starts from; a host may set baselines here.</summary>
        public FittingResult[] Records { get { return records; } }

        /// <summary>Zeroes every record: the next analysis chooses every baseline.</summary>
        public void Reset()
        {
            Array.Clear(records, 0, records.Length);
        }

        /// <summary>
        /// Analyses readings[well, cycle index], one row per well of this plate.
        /// A failed analysis raises QuelmarAlgException and leaves the records as
        /// they were.
        /// </summary>
        public PlateResult Analyze(double[,] readings)
        {
            if (readings == null) throw new ArgumentNullException("readings");
            int wells = readings.GetLength(0), cycles = readings.GetLength(1);
            if (wells != records.Length)
                throw new ArgumentException("one row per well: " + records.Length + " rows expected", "readings");
            // Row-major [well, cycle] is the library's order, well after well.
            var data = new double[readings.Length];
            Buffer.BlockCopy(readings, 0, data, 0, data.Length * sizeof(double));

            // Work on a copy so that a failure part-way leaves the records intact.
            var work = (FittingResult[])records.Clone();
            double threshold = Alg.CalcThreshold(work, data, wells, cycles);
            double[] byCycle;
            double[] linear = Alg.LinearBatchCalcCt(work, threshold, data, wells, cycles, out byCycle);
            double[] sigmoid = Alg.SigmoidBatchCalcCt(work);
            Array.Copy(work, records, records.Length);

            var curves = new double[wells, cycles];
            for (int c = 0; c < cycles; ++c)
                for (int w = 0; w < wells; ++w) curves[w, c] = byCycle[c * wells + w];
            return new PlateResult(threshold, linear, sigmoid, (FittingResult[])work.Clone(), curves);
        }
    }
}
