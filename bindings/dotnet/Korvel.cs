// Korvel.cs: korvel_dll from C#. Copyright (c) 2026 the korvel_dll authors,
// under the MIT License (the LICENSE file of korvel_dll).
//
// Add this one file to a project; the program then needs korvel_dll.dll
// beside its .exe (64-bit process) on Windows, or libkorvel_dll.so where Mono
// finds it on Linux (LD_LIBRARY_PATH, or a dllmap for "korvel_dll" in the
// assembly's .config file).
//
//   string port = KorvelInterface.Scan() ?? "COM3";
//   using (var adapter = KorvelInterface.Open(port))
//   {
//       Console.WriteLine(adapter.Version());
//       byte[] reply = adapter.Execute(new byte[] { 0x0A, 0x0B });
//   }
//
// Calls block until the adapter answers or the library gives up (about 1.6 s
// for a silent adapter); the library serialises calls from several threads.
// A nonzero result throws KorvelException.
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Text;

namespace Korvel
{
    /// <summary>The library's result codes (3 is never returned).</summary>
    public enum KorvelResult
    {
        Ok = 0,
        BadHandle = 1,
        OpenOrCrcError = 2,
        Timeout = 4,
        LinkError = 5,
        AdapterError = 6,
        AdapterStatusFE = 7,
    }

    /// <summary>
    /// A library call returned a nonzero result. The constructors without a code leave Code
    /// and NativeErrorCode 0 and Function null.
    /// </summary>
    [Serializable]
    public class KorvelException : Exception
    {
        public KorvelException() : base("a korvel_dll call failed")
        {
        }

        public KorvelException(string message) : base(message)
        {
        }

        public KorvelException(string message, Exception innerException)
            : base(message, innerException)
        {
        }

        protected KorvelException(SerializationInfo info, StreamingContext context)
            : base(info, context)
        {
            Code = info.GetInt32("Code");
            Function = info.GetString("Function");
            NativeErrorCode = info.GetInt32("NativeErrorCode");
        }

        public KorvelException(string function, int code) : this(function, code, 0, null)
        {
        }

        /// <summary>reason, when not null, replaces the code's meaning in the message.</summary>
        public KorvelException(string function, int code, int nativeErrorCode, string reason)
            : base(string.Format("{0} returned {1} ({2}): {3}", function, code, NameOf(code),
                                 reason ?? MeaningOf(code)))
        {
            Function = function;
            Code = code;
            NativeErrorCode = nativeErrorCode;
        }

        /// <summary>The result code, 1 to 7.</summary>
        public int Code { get; private set; }

        public KorvelResult Result { get { return (KorvelResult)Code; } }

        /// <summary>The code's constant in korvel_dll.h, e.g. MDB_IF_TIMEOUT.</summary>
        public string Name { get { return NameOf(Code); } }

        /// <summary>The export that returned the code.</summary>
        public string Function { get; private set; }

        /// <summary>
        /// Why an open failed, as the system reported it: errno on Linux, GetLastError() on
        /// Windows. 0 for other failures.
        /// </summary>
        public int NativeErrorCode { get; private set; }

        public override void GetObjectData(SerializationInfo info, StreamingContext context)
        {
            if (info == null)
                throw new ArgumentNullException("info");
            info.AddValue("Code", Code);
            info.AddValue("Function", Function);
            info.AddValue("NativeErrorCode", NativeErrorCode);
            base.GetObjectData(info, context);
        }

        public static string NameOf(int code)
        {
            switch ((KorvelResult)code)
            {
                case KorvelResult.Ok: return "MDB_IF_OK";
                case KorvelResult.BadHandle: return "MDB_IF_BAD_HANDLE";
                case KorvelResult.OpenOrCrcError: return "MDB_IF_OPEN_OR_CRC_ERROR";
                case KorvelResult.Timeout: return "MDB_IF_TIMEOUT";
                case KorvelResult.LinkError: return "MDB_IF_LINK_ERROR";
                case KorvelResult.AdapterError: return "MDB_IF_ADAPTER_ERROR";
                case KorvelResult.AdapterStatusFE: return "MDB_IF_ADAPTER_STATUS_FE";
                default: return "MDB_IF_UNKNOWN";
            }
        }

        static string MeaningOf(int code)
        {
            switch ((KorvelResult)code)
            {
                case KorvelResult.BadHandle:
                    return "the interface is closed, or another open superseded it";
                case KorvelResult.OpenOrCrcError:
                    return "the port could not be opened, a reply failed its CRC check, " +
                           "or the adapter reported status 0xFD";
                case KorvelResult.Timeout:
                    return "no reply in time, or the adapter reported status 0xFC";
                case KorvelResult.LinkError:
                    return "purging or sending failed, or the reply carried a status byte " +
                           "the call does not know";
                case KorvelResult.AdapterError:
                    return "the adapter reported an error status (0xFF)";
                case KorvelResult.AdapterStatusFE:
                    return "the adapter reported status 0xFE";
                default: return "a result this binding does not know";
            }
        }
    }

    /// <summary>The six exports of korvel_dll, declared as korvel_dll.h declares them.</summary>
    public static class NativeMethods
    {
        // "korvel_dll.dll" on Windows; Mono also tries "libkorvel_dll.so".
        const string Library = "korvel_dll";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_ScanInterface([Out] byte[] portName);

        // On a failure the library leaves the reason in errno (Linux) or GetLastError()
        // (Windows); Marshal.GetLastWin32Error() reads either.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true,
                   SetLastError = true)]
        public static extern int MDB_IF_OpenInterface(
            [MarshalAs(UnmanagedType.LPStr)] string portName, out IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_CloseInterface(IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_ExecCommand(IntPtr handle, [In] byte[] command,
                                                    int commandLength, [Out] byte[] reply,
                                                    ref int replyLength);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_LineReset(IntPtr handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_GetVersion(IntPtr handle, [Out] byte[] text, int capacity);
    }

    /// <summary>
    /// The adapter on one port, opened exclusively until Dispose. The library keeps one
    /// current interface per process: opening another supersedes this one, which is then
    /// closed (IsClosed, and its calls throw KorvelException with KorvelResult.BadHandle).
    /// </summary>
    public sealed class KorvelInterface : IDisposable
    {
        const int PortNameBuffer = 20;
        const int VersionCapacity = 512;
        // No reply payload is longer, so a larger capacity changes nothing.
        const int LargestReply = 506;
        const int TransmitBuffer = 256;
        const int FrameOverhead = 6;
        static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;

        // The interface opened last through this class, until it is closed: the library's
        // current one. Opens and closes hold the lock across their call, so the record
        // changes in the library's order.
        static readonly object currentLock = new object();
        static KorvelInterface current;

        // Read without the lock: an open holding it can wait in the library behind another
        // thread's command.
        volatile IntPtr handle;

        KorvelInterface(string port, IntPtr handle)
        {
            Port = port;
            this.handle = handle;
        }

        public string Port { get; private set; }

        /// <summary>True once disposed, or superseded by a later open.</summary>
        public bool IsClosed { get { return handle == IntPtr.Zero; } }

        /// <summary>The port name of the first adapter that answers, or null.</summary>
        public static string Scan()
        {
            var name = new byte[PortNameBuffer];
            Check("MDB_IF_ScanInterface", NativeMethods.MDB_IF_ScanInterface(name));
            string text = AnsiText(name);
            return text.Length == 0 ? null : text;
        }

        /// <summary>Opens the port: "COM3" on Windows, "ttyUSB0" or "pts/3" on Linux.</summary>
        public static KorvelInterface Open(string port)
        {
            CheckPortName(port);
            lock (currentLock)
            {
                IntPtr handle;
                int result = NativeMethods.MDB_IF_OpenInterface(port, out handle);
                int error = Marshal.GetLastWin32Error();
                // A failed open supersedes the current interface too, unless the library
                // refused the path as no serial port.
                if (current != null && (result == 0 || !StillCurrent(current.handle)))
                {
                    current.handle = IntPtr.Zero;
                    current = null;
                }
                if (result == (int)KorvelResult.OpenOrCrcError)
                    throw OpenFailure(port, error);
                Check("MDB_IF_OpenInterface", result);
                current = new KorvelInterface(port, handle);
                return current;
            }
        }

        /// <summary>The adapter's version text (read-version command 0x01).</summary>
        public string Version()
        {
            var text = new byte[VersionCapacity];
            Check("MDB_IF_GetVersion",
                  NativeMethods.MDB_IF_GetVersion(OpenHandle("MDB_IF_GetVersion"), text, text.Length));
            return AnsiText(text);
        }

        /// <summary>Sends the line-reset command 0x02.</summary>
        public void Reset()
        {
            Check("MDB_IF_LineReset", NativeMethods.MDB_IF_LineReset(OpenHandle("MDB_IF_LineReset")));
        }

        /// <summary>
        /// Sends one command (up to 3 attempts) and returns the reply's payload, at most
        /// capacity bytes of it. A one-byte reply is the adapter's status: 0x00 is returned,
        /// any other throws. Commands of up to 124 bytes always fit; up to 250 when few bytes
        /// need stuffing.
        /// </summary>
        public byte[] Execute(byte[] command, int capacity = 512)
        {
            if (command == null)
                throw new ArgumentNullException("command");
            if (capacity < 0)
                throw new ArgumentOutOfRangeException("capacity", capacity, "must not be negative");
            if (StuffedFrameLength(command) > TransmitBuffer)
                throw new ArgumentException(string.Format(
                    "a command of {0} bytes does not fit one request frame once stuffed",
                    command.Length), "command");
            var reply = new byte[Math.Min(capacity, LargestReply)];
            int length = reply.Length;
            Check("MDB_IF_ExecCommand", NativeMethods.MDB_IF_ExecCommand(
                OpenHandle("MDB_IF_ExecCommand"), command, command.Length, reply, ref length));
            Array.Resize(ref reply, length);
            return reply;
        }

        /// <summary>Closes the port; closing again, or after a superseding open, does nothing.</summary>
        public void Dispose()
        {
            lock (currentLock)
            {
                IntPtr closing = handle;
                handle = IntPtr.Zero;
                if (closing == IntPtr.Zero)
                    return;
                NativeMethods.MDB_IF_CloseInterface(closing);
                current = null;
            }
        }

        // The library refuses a negative capacity right after the handle check, touching
        // nothing, so only a superseded handle gets 1.
        static bool StillCurrent(IntPtr handle)
        {
            return NativeMethods.MDB_IF_GetVersion(handle, null, -1) != (int)KorvelResult.BadHandle;
        }

        IntPtr OpenHandle(string function)
        {
            IntPtr open = handle;
            if (open == IntPtr.Zero)
                throw new KorvelException(function, (int)KorvelResult.BadHandle);
            return open;
        }

        static void Check(string function, int result)
        {
            if (result != 0)
                throw new KorvelException(function, result);
        }

        static KorvelException OpenFailure(string port, int error)
        {
            if (error == 0)
                return new KorvelException("MDB_IF_OpenInterface", (int)KorvelResult.OpenOrCrcError);
            // Mono's Win32Exception gives an errno the Windows message of the same number.
            string reason = Windows
                ? string.Format("[WinError {0}] {1}", error, new Win32Exception(error).Message)
                : string.Format("[Errno {0}] {1}", error, Marshal.PtrToStringAnsi(strerror(error)));
            return new KorvelException("MDB_IF_OpenInterface", (int)KorvelResult.OpenOrCrcError,
                                       error, string.Format("could not open '{0}': {1}", port, reason));
        }

        [DllImport("libc")]
        static extern IntPtr strerror(int error);

        static string AnsiText(byte[] text)
        {
            int end = Array.IndexOf(text, (byte)0);
            return Encoding.ASCII.GetString(text, 0, end < 0 ? text.Length : end);
        }

        // Names the library would refuse with result 2.
        static void CheckPortName(string port)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            int longest = Windows ? 15 : 14;
            bool ascii = true;
            foreach (char c in port)
                ascii &= c > 0 && c < 128;
            if (port.Length == 0 || port.Length > longest || !ascii ||
                (!Windows && port.Contains("..")))
                throw new ArgumentException(string.Format(
                    "not a port name (ASCII, 1 to {0} characters{1}): \"{2}\"", longest,
                    Windows ? "" : ", no \"..\"", port), "port");
        }

        // STX, two header bytes, the command, the CRC and ETX, with every 0x02, 0x03 and
        // 0x7D after STX and before ETX sent as two bytes.
        static int StuffedFrameLength(byte[] command)
        {
            ushort crc = 0xFFFF;
            int escapes = 0;
            foreach (byte b in new byte[] { 0x00, 0x30 })
                crc = Crc16(crc, b);
            foreach (byte b in command)
            {
                crc = Crc16(crc, b);
                escapes += NeedsEscape(b) ? 1 : 0;
            }
            escapes += (NeedsEscape((byte)(crc >> 8)) ? 1 : 0) + (NeedsEscape((byte)crc) ? 1 : 0);
            return command.Length + FrameOverhead + escapes;
        }

        static bool NeedsEscape(byte b)
        {
            return b == 0x02 || b == 0x03 || b == 0x7D;
        }

        // CRC-16 with polynomial 0x1021, most significant bit first.
        static ushort Crc16(ushort crc, byte b)
        {
            crc ^= (ushort)(b << 8);
            for (int bit = 0; bit < 8; bit++)
                crc = (ushort)((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
            return crc;
        }
    }
}
