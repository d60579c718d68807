// The examples' CSV reader (examples/support/plate_csv.h) for the tests: a
// header line of (optionally quoted) names, then one line per cycle whose
// first field is the cycle number or temperature and whose other fields are
// one column each. Empty fields and NA read as NaN.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;

namespace QuelmarAlg.Tests
{
    internal sealed class PlateCsv
    {
        public string[] Names;      // the columns after the first
        public double[] First;      // the first column
        public double[][] Columns;  // one array per named column

        public static PlateCsv Read(string path)
        {
            var lines = new List<string>();
            foreach (string line in File.ReadAllLines(path))
                if (line.Trim().Length > 0) lines.Add(line);
            if (lines.Count < 2) throw new InvalidDataException(path + ": needs a header line and at least one row");

            string[] header = Split(lines[0]);
            var table = new PlateCsv();
            table.Names = new string[header.Length - 1];
            Array.Copy(header, 1, table.Names, 0, table.Names.Length);
            int rows = lines.Count - 1;
            table.First = new double[rows];
            table.Columns = new double[table.Names.Length][];
            for (int c = 0; c < table.Columns.Length; ++c) table.Columns[c] = new double[rows];
            for (int r = 0; r < rows; ++r)
            {
                string[] fields = Split(lines[r + 1]);
                if (fields.Length != header.Length) throw new InvalidDataException(path + ": a row differs from the header in length");
                table.First[r] = Number(fields[0]);
                for (int c = 0; c < table.Columns.Length; ++c) table.Columns[c][r] = Number(fields[c + 1]);
            }
            return table;
        }

        private static string[] Split(string line)
        {
            string[] fields = line.Split(',');
            for (int i = 0; i < fields.Length; ++i) fields[i] = fields[i].Trim().Trim('"');
            return fields;
        }

        private static double Number(string field)
        {
            if (field.Length == 0 || field == "NA") return double.NaN;
            return double.Parse(field, NumberStyles.Float, CultureInfo.InvariantCulture);
        }
    }
}
