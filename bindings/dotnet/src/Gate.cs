using System;
using System.Runtime.InteropServices;

namespace QuelmarAlg
{
    /// <summary>
    /// The one lock of the managed layer. The library keeps one last-error text
    /// for the whole process, and every call that succeeds empties it: a failed
    /// call's message is only its own if no other call runs between the call and
    /// the reading. Every call of the managed layer, releases included, runs
    /// under this lock together with the reading of its message.
    /// </summary>
    internal static class Gate
    {
        internal static readonly object Lock = new object();

        /// <summary>Raises the failure of a call made under the lock.</summary>
        internal static void Check(string function, int code)
        {
            if (code != (int)ResultCode.Ok)
                throw new QuelmarAlgException(function, code, Gbk.Read(Native.get_last_error()));
        }

        internal static UIntPtr Size(int count)
        {
            return new UIntPtr((uint)count);
        }

        /// <summary>
        /// Copies an array the library handed out; the caller gives it back (in
        /// its finally) with Release.
        /// </summary>
        internal static double[] Copy(IntPtr array, UIntPtr count)
        {
            ulong length = count.ToUInt64();
            if (length > int.MaxValue)
                throw new OverflowException("the library handed out " + length + " values, more than an array holds");
            var values = new double[(int)length];
            if (length > 0) Marshal.Copy(array, values, 0, values.Length);
            return values;
        }

        /// <summary>
        /// Gives back an array the library handed out, once: the variable is
        /// zeroed, so a second release through it does nothing.
        /// </summary>
        internal static void Release(ref IntPtr array)
        {
            if (array == IntPtr.Zero) return;
            lock (Lock) Native.alg_darray_release(ref array);
            array = IntPtr.Zero;
        }

        /// <summary>A call that hands out one array: its result code, the array and its length.</summary>
        internal delegate int HandingOut(out IntPtr values, out UIntPtr count);

        /// <summary>
        /// Makes a call that hands out one array, under the lock, and returns a
        /// managed copy; the library's array goes back exactly once, whatever
        /// happens, and a failed call is taken to have handed out nothing.
        /// </summary>
        internal static double[] CopyHandedOut(string function, HandingOut call)
        {
            IntPtr values = IntPtr.Zero;
            try
            {
                UIntPtr count;
                lock (Lock)
                {
                    int code = call(out values, out count);
                    if (code != 0) values = IntPtr.Zero;
                    Check(function, code);
                }
                return Copy(values, count);
            }
            finally
            {
                Release(ref values);
            }
        }

        /// <summary>
        /// Holds a reference on each handle of a call for as long as the call
        /// runs, taken before the runtime's marshaller takes its own: a released
        /// handle is refused here, and when the second is refused the first is
        /// let go again. (Mono's marshaller, refusing the second handle of a
        /// call, keeps its reference on the first, which could then never be
        /// released.)
        /// </summary>
        internal static Held Hold(SafeHandle first, SafeHandle second = null)
        {
            return new Held(first, second);
        }

        internal struct Held : IDisposable
        {
            private readonly SafeHandle first;
            private readonly SafeHandle second;
            private bool firstHeld;
            private bool secondHeld;

            internal Held(SafeHandle first, SafeHandle second)
            {
                this.first = first;
                this.second = second;
                firstHeld = secondHeld = false;
                try
                {
                    first.DangerousAddRef(ref firstHeld);
                    if (second != null) second.DangerousAddRef(ref secondHeld);
                }
                catch
                {
                    if (firstHeld) first.DangerousRelease();
                    throw;
                }
            }

            public void Dispose()
            {
                if (secondHeld) second.DangerousRelease();
                if (firstHeld) first.DangerousRelease();
                firstHeld = secondHeld = false;
            }
        }

        internal static void Require(bool condition, string parameter, string what)
        {
            if (!condition) throw new ArgumentException(what, parameter);
        }

        internal static void NotNull(object value, string parameter)
        {
            if (value == null) throw new ArgumentNullException(parameter);
        }
    }
}
