// A small test runner: named cases, each failing on its first broken check or
// on any exception, and the plain closing line "N passed, N failed".
using System;
using System.Collections.Generic;

namespace QuelmarAlg.Tests
{
    internal sealed class CheckFailed : Exception
    {
        public CheckFailed(string message) : base(message)
        {
        }
    }

    internal static class Check
    {
        public static void That(bool condition, string what)
        {
            if (!condition) throw new CheckFailed(what);
        }

        public static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new CheckFailed(what + ": expected " + expected + ", got " + actual);
        }

        /// <summary>Relative closeness, for values worked by hand.</summary>
        public static void Near(double expected, double actual, double tolerance, string what)
        {
            if (!(Math.Abs(actual - expected) <= tolerance * Math.Max(1.0, Math.Abs(expected))))
                throw new CheckFailed(what + ": expected " + expected.ToString("R") + ", got " + actual.ToString("R"));
        }

        public static TException Throws<TException>(Action action, string what) where TException : Exception
        {
            try
            {
                action();
            }
            catch (TException e)
            {
                return e;
            }
            catch (Exception e)
            {
                throw new CheckFailed(what + ": expected " + typeof(TException).Name + ", got " + e.GetType().Name + ": " + e.Message);
            }
            throw new CheckFailed(what + ": expected " + typeof(TException).Name + ", nothing was thrown");
        }
    }

    internal sealed class Runner
    {
        private readonly List<KeyValuePair<string, Action>> cases = new List<KeyValuePair<string, Action>>();

        public void Add(string name, Action test)
        {
            cases.Add(new KeyValuePair<string, Action>(name, test));
        }

        public int Run()
        {
            int passed = 0, failed = 0;
            foreach (var test in cases)
            {
                try
                {
                    test.Value();
                    ++passed;
                    Console.WriteLine("PASS " + test.Key);
                }
                catch (Exception e)
                {
                    ++failed;
                    Console.WriteLine("FAIL " + test.Key + ": " + (e is CheckFailed ? e.Message : e.ToString()));
                }
            }
            Console.WriteLine(passed + " passed, " + failed + " failed");
            return failed == 0 ? 0 : 1;
        }
    }
}
