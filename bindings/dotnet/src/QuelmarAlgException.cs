using System;
using System.Runtime.InteropServices;
using System.Text;

namespace QuelmarAlg
{
    /// <summary>The result codes of QuelmarAlg.h.</summary>
    public enum ResultCode
    {
        Ok = 0,
        InvalidArgument = 10, // an argument or the data was refused
        OutOfRange = 20,      // an index or a parameter out of range
        Failure = 100,        // out of memory, or a numerical failure
    }

    /// <summary>
    /// A call that returned a result code other than ALG_OK: the code, the
    /// export that returned it, and the library's message for that call, as
    /// GBK bytes and decoded with code page 936.
    /// </summary>
    [Serializable]
    public class QuelmarAlgException : Exception
    {
        public QuelmarAlgException(string function, int code, byte[] messageBytes)
            : base(Describe(function, code, messageBytes))
        {
            Function = function;
            Code = (ResultCode)code;
            MessageBytes = messageBytes;
            LibraryMessage = Gbk.Decode(messageBytes);
        }

        /// <summary>The export that failed, by its C name.</summary>
        public string Function { get; private set; }

        /// <summary>The result code it returned (any value it returned, named or not).</summary>
        public ResultCode Code { get; private set; }

        /// <summary>The library's message, decoded from GBK.</summary>
        public string LibraryMessage { get; private set; }

        /// <summary>The message as the library wrote it (GBK, no terminating NUL).</summary>
        public byte[] MessageBytes { get; private set; }

        private static string Describe(string function, int code, byte[] messageBytes)
        {
            return function + " failed with result " + code + " (" + (ResultCode)code + "): " + Gbk.Decode(messageBytes);
        }
    }

    /// <summary>The library's texts: NUL-terminated GBK (code page 936) bytes.</summary>
    public static class Gbk
    {
        private const int CodePage = 936;
        private static readonly Encoding Gb = Find();

        /// <summary>Whether this runtime has code page 936 (Mono needs its CJK encodings).</summary>
        public static bool Available { get { return Gb != null; } }

        /// <summary>
        /// The text of GBK bytes. Without code page 936 the ASCII bytes are kept
        /// and every other byte is written \xNN, so no information is lost.
        /// </summary>
        public static string Decode(byte[] bytes)
        {
            if (Gb != null) return Gb.GetString(bytes);
            var text = new StringBuilder(bytes.Length);
            foreach (byte b in bytes)
            {
                if (b < 0x80) text.Append((char)b);
                else text.Append("\\x").Append(b.ToString("x2"));
            }
            return text.ToString();
        }

        /// <summary>The bytes of a NUL-terminated string owned by the library.</summary>
        public static byte[] Read(IntPtr text)
        {
            if (text == IntPtr.Zero) return new byte[0];
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return bytes;
        }

        private static Encoding Find()
        {
            try
            {
#if NETCOREAPP
                // .NET Core and later carry the legacy code pages apart.
                Encoding.RegisterProvider(CodePagesEncodingProvider.Instance);
#endif
                return Encoding.GetEncoding(CodePage);
            }
            catch (NotSupportedException)
            {
                return null;
            }
            catch (ArgumentException)
            {
                return null;
            }
        }
    }
}
