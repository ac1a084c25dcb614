// Korvel.cs: korvel_dll from C#. Copyright (c) 2026 the korvel_dll authors,
// under the MIT License (the LICENSE file of korvel_dll).
//
// The Korvel NuGet package builds this file for netstandard2.0 and net8.0 and
// brings the native library for win-x64 and linux-x64 (runtimes/RID/native).
// The file can also be added to a project on its own (C# 8 or later): the
// program then needs korvel_dll.dll beside its .exe (64-bit process) on
// Windows, or libkorvel_dll.so where the loader finds it on Linux
// (LD_LIBRARY_PATH; under Mono also a dllmap for "korvel_dll").
//
//   string port = KorvelInterface.Scan() ?? "COM3";
//   using (var adapter = KorvelInterface.Open(port))
//   {
//       Console.WriteLine(adapter.Version());
//       byte[] reply = await adapter.ExecuteAsync(new byte[] { 0x0A, 0x0B });
//   }
//
// Calls block until the adapter answers or the library gives up (about 1.6 s
// for a silent adapter); they are made one at a time, in the order they
// reach the line. A nonzero result throws KorvelException.
#nullable enable
using System;
using System.ComponentModel;
using System.Diagnostics.CodeAnalysis;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Korvel
{
    /// <summary>The library's result codes (3 is never returned).</summary>
    public enum KorvelResult
    {
        /// <summary>Success (MDB_IF_OK).</summary>
        Ok = 0,

        /// <summary>The interface is closed, or another open superseded it (MDB_IF_BAD_HANDLE).</summary>
        BadHandle = 1,

        /// <summary>
        /// The port could not be opened, a reply failed its CRC check, or the adapter reported
        /// status 0xFD (MDB_IF_OPEN_OR_CRC_ERROR).
        /// </summary>
        OpenOrCrcError = 2,

        /// <summary>No reply in time, or the adapter reported status 0xFC (MDB_IF_TIMEOUT).</summary>
        Timeout = 4,

        /// <summary>
        /// Purging or sending failed, or the reply carried a status byte the call does not know
        /// (MDB_IF_LINK_ERROR).
        /// </summary>
        LinkError = 5,

        /// <summary>
        /// The adapter reported status 0xFF; for a command (Execute), any one-byte status other
        /// than 0x00, 0xFC, 0xFD and 0xFE (MDB_IF_ADAPTER_ERROR).
        /// </summary>
        AdapterError = 6,

        /// <summary>The adapter reported status 0xFE (MDB_IF_ADAPTER_STATUS_FE).</summary>
        AdapterStatusFE = 7,
    }

    /// <summary>
    /// A library call returned a nonzero result. The constructors without a code leave Code
    /// and NativeErrorCode 0, and Function and AdapterStatus null.
    /// </summary>
    [Serializable]
    public class KorvelException : Exception
    {
        const string ExecCommand = "MDB_IF_ExecCommand";

        /// <summary>An exception without a code.</summary>
        public KorvelException() : base("a korvel_dll call failed")
        {
        }

        /// <summary>An exception without a code, with this message.</summary>
        public KorvelException(string message) : base(message)
        {
        }

        /// <summary>An exception without a code, with this message and cause.</summary>
        public KorvelException(string message, Exception innerException)
            : base(message, innerException)
        {
        }

        /// <summary>Restores a serialised exception.</summary>
#if NET8_0_OR_GREATER
        [Obsolete("Serialisation with SerializationInfo is obsolete on .NET 8 and later.")]
#endif
        protected KorvelException(SerializationInfo info, StreamingContext context)
            : base(info, context)
        {
            Code = info.GetInt32("Code");
            Function = info.GetString("Function");
            NativeErrorCode = info.GetInt32("NativeErrorCode");
            // Streams written before the status byte was kept have no such entry.
            foreach (SerializationEntry entry in info)
            {
                if (entry.Name == "AdapterStatus" && entry.Value is int status && status >= 0)
                    AdapterStatus = (byte)status;
            }
        }

        /// <summary>function returned code; the message gives the code's meaning.</summary>
        public KorvelException(string function, int code) : this(function, code, 0, null)
        {
        }

        /// <summary>
        /// function returned code; reason, when not null, replaces the code's meaning in the
        /// message.
        /// </summary>
        public KorvelException(string function, int code, int nativeErrorCode, string? reason)
            : base(Describe(function, code, reason ?? MeaningOf(function, code)))
        {
            Function = function;
            Code = code;
            NativeErrorCode = nativeErrorCode;
        }

        /// <summary>
        /// function returned code for a reply whose status byte was adapterStatus; the message
        /// names the status.
        /// </summary>
        public KorvelException(string function, int code, byte adapterStatus)
            : base(Describe(function, code, MeaningOf(function, code, adapterStatus)))
        {
            Function = function;
            Code = code;
            AdapterStatus = adapterStatus;
        }

        /// <summary>The result code, 1 to 7.</summary>
        public int Code { get; private set; }

        /// <summary>The result code as a KorvelResult.</summary>
        public KorvelResult Result { get { return (KorvelResult)Code; } }

        /// <summary>The code's constant in korvel_dll.h, e.g. MDB_IF_TIMEOUT.</summary>
        public string Name { get { return NameOf(Code); } }

        /// <summary>The export that returned the code.</summary>
        public string? Function { get; private set; }

        /// <summary>
        /// Why an open failed, as the system reported it: errno on Linux, GetLastError() on
        /// Windows. 0 for other failures.
        /// </summary>
        public int NativeErrorCode { get; private set; }

        /// <summary>
        /// The status byte of the adapter's reply that gave the code, or null when no reply
        /// carried one (a timeout, a CRC error, a failed send) or the binding cannot tell.
        /// </summary>
        public byte? AdapterStatus { get; private set; }

        /// <summary>Stores the code, function, native error and status with the exception.</summary>
#if NET8_0_OR_GREATER
        [Obsolete("Serialisation with SerializationInfo is obsolete on .NET 8 and later.")]
#endif
        public override void GetObjectData(SerializationInfo info, StreamingContext context)
        {
            if (info == null)
                throw new ArgumentNullException(nameof(info));
            info.AddValue("Code", Code);
            info.AddValue("Function", Function);
            info.AddValue("NativeErrorCode", NativeErrorCode);
            info.AddValue("AdapterStatus", AdapterStatus.HasValue ? AdapterStatus.Value : -1);
            base.GetObjectData(info, context);
        }

        /// <summary>The constant in korvel_dll.h for a result code.</summary>
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

        static string Describe(string function, int code, string meaning)
        {
            return string.Format(CultureInfo.InvariantCulture, "{0} returned {1} ({2}): {3}",
                                 function, code, NameOf(code), meaning);
        }

        static string MeaningOf(string function, int code)
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
                    // Only a command takes every unknown one-byte status for an error.
                    return function == ExecCommand
                        ? "the adapter reported an error status (a one-byte reply other than " +
                          "0x00, 0xFC, 0xFD and 0xFE)"
                        : "the adapter reported status 0xFF";
                case KorvelResult.AdapterStatusFE:
                    return "the adapter reported status 0xFE";
                default: return "a result this binding does not know";
            }
        }

        static string MeaningOf(string function, int code, byte status)
        {
            string named = string.Format(CultureInfo.InvariantCulture, "status 0x{0:X2}", status);
            switch ((KorvelResult)code)
            {
                case KorvelResult.LinkError:
                    return string.Format(CultureInfo.InvariantCulture,
                                         "the reply carried {0}, which {1} does not know", named,
                                         function);
                case KorvelResult.AdapterError:
                    return "the adapter reported error " + named;
                default:
                    return "the adapter reported " + named;
            }
        }
    }

    /// <summary>The six exports of korvel_dll, declared as korvel_dll.h declares them.</summary>
    /// <remarks>
    /// The handle is the raw value; KorvelInterface wraps it in a KorvelInterfaceHandle. A
    /// program that calls these directly besides KorvelInterface supersedes the interface
    /// KorvelInterface holds without it knowing (its calls then throw BadHandle).
    /// </remarks>
    [SuppressMessage("Interoperability", "CA1401", Justification = "Public since the first release.")]
    [SuppressMessage("Naming", "CA1707", Justification = "The names of the library's exports.")]
    [SuppressMessage("Globalization", "CA2101", Justification = "Port names are ASCII; best fit is off.")]
    public static class NativeMethods
    {
        // "korvel_dll.dll" on Windows, "libkorvel_dll.so" on Linux.
        const string Library = "korvel_dll";

        /// <summary>Writes the first adapter's port name (portName: 20 bytes) or "".</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_ScanInterface([Out] byte[] portName);

        /// <summary>Opens portName as the current interface.</summary>
        /// <remarks>
        /// On a failure the library leaves the reason in errno (Linux) or GetLastError()
        /// (Windows); Marshal.GetLastWin32Error() reads either.
        /// </remarks>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   ExactSpelling = true, BestFitMapping = false, ThrowOnUnmappableChar = true,
                   SetLastError = true)]
        public static extern int MDB_IF_OpenInterface(
            [MarshalAs(UnmanagedType.LPStr)] string portName, out IntPtr handle);

        /// <summary>Closes the current interface; 1 for any other handle.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_CloseInterface(IntPtr handle);

        /// <summary>Sends a command; replyLength is the capacity in, the delivered length out.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_ExecCommand(IntPtr handle, [In] byte[] command,
                                                    int commandLength, [Out] byte[] reply,
                                                    ref int replyLength);

        /// <summary>Sends the line-reset command 0x02.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_LineReset(IntPtr handle);

        /// <summary>Reads the version text into text, at most capacity - 1 characters.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int MDB_IF_GetVersion(IntPtr handle, [Out] byte[]? text, int capacity);
    }

    /// <summary>The handle of an open interface; releasing it closes the interface.</summary>
    /// <remarks>
    /// Release calls MDB_IF_CloseInterface, which closes only the library's current interface:
    /// a handle that a later open superseded is refused there, so releasing it never closes
    /// the interface that superseded it.
    /// </remarks>
    public sealed class KorvelInterfaceHandle : SafeHandle
    {
        static readonly IntPtr FailedOpen = new IntPtr(-1);

        internal KorvelInterfaceHandle(IntPtr value) : base(IntPtr.Zero, true)
        {
            SetHandle(value);
        }

        /// <summary>True for null and for the value a failed open hands back.</summary>
        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero || handle == FailedOpen; }
        }

        /// <summary>Closes the interface if it is still the library's current one.</summary>
        protected override bool ReleaseHandle()
        {
            // Result 1 means a later open superseded the handle and the library has closed
            // its port already: nothing is left to release.
            _ = NativeMethods.MDB_IF_CloseInterface(handle);
            return true;
        }
    }

    /// <summary>
    /// The adapter on one port, opened exclusively until Dispose. The library keeps one
    /// current interface per process: opening another supersedes this one, which is then
    /// closed (IsClosed, and its calls throw KorvelException with KorvelResult.BadHandle).
    /// </summary>
    /// <remarks>
    /// Every call through this class, synchronous or not, goes to the library one at a time, in
    /// the order it reaches the line; a call waits for the one in progress. The longest calls
    /// (korvel_dll.h): Execute about 1.6 s against a silent adapter and 6.1 s against a line
    /// that chatters without completing a frame, Reset and Version 0.52 s and 2.0 s, Scan
    /// 0.52 s per silent port. An interface that is not disposed stays open until a later open
    /// supersedes it or the process ends.
    /// </remarks>
    public sealed class KorvelInterface : IDisposable
    {
        const int PortNameBuffer = 20;
        const int VersionCapacity = 512;
        const int DefaultCapacity = 512;
        // No reply payload is longer, so a larger capacity changes nothing.
        const int LargestReply = 506;
        const int TransmitBuffer = 256;
        const int FrameOverhead = 6;
        const byte StatusFF = 0xFF;
        const byte StatusFE = 0xFE;
        // The library adds the device folder itself, so a name given as a Linux path names
        // nothing.
        const string DevicePrefix = "/dev/";
        static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
        static readonly bool Mono = Type.GetType("Mono.Runtime") != null;

        // The line: one call into the library at a time, whichever thread or task makes it.
        static readonly SemaphoreSlim Line = new SemaphoreSlim(1, 1);

        // The interface opened last through this class, until it is closed: the library's
        // current one. Opens and closes hold the lock across their call, so the record
        // changes in the library's order.
        static readonly object CurrentLock = new object();
        static KorvelInterface? current;

        readonly KorvelInterfaceHandle handle;

        KorvelInterface(string port, KorvelInterfaceHandle handle)
        {
            Port = port;
            this.handle = handle;
        }

        /// <summary>The port name the interface was opened with.</summary>
        public string Port { get; private set; }

        /// <summary>
        /// The interface's handle, for calls through NativeMethods. Disposing it closes the
        /// interface as Dispose does.
        /// </summary>
        public KorvelInterfaceHandle Handle { get { return handle; } }

        /// <summary>True once disposed, or superseded by a later open.</summary>
        public bool IsClosed { get { return handle.IsClosed; } }

        /// <summary>The port name of the first adapter that answers a scan, or null.</summary>
        /// <remarks>
        /// On Linux the scan walks the serial devices in sysfs and never lists
        /// pseudo-terminals (korvel-sim's ports among them): give such a port to Open.
        /// </remarks>
        public static string? Scan()
        {
            return OnLine(ScanNow);
        }

        /// <summary>Scan, run off the caller's thread.</summary>
        /// <param name="cancellationToken">
        /// Cancels the scan while it waits for the line; a scan already probing ports runs to
        /// its end (0.52 s per silent port).
        /// </param>
        public static Task<string?> ScanAsync(CancellationToken cancellationToken = default)
        {
            return OnLineAsync(ScanNow, cancellationToken);
        }

        /// <summary>
        /// Opens the port: "COM3" on Windows, "ttyUSB0" or "pts/3" on Linux (the name below
        /// /dev: a name given as "/dev/ttyUSB0" fails, with a hint to drop "/dev/").
        /// </summary>
        /// <exception cref="ArgumentNullException">port is null.</exception>
        /// <exception cref="ArgumentException">port is no name the library accepts.</exception>
        /// <exception cref="KorvelException">
        /// The open failed: NativeErrorCode and the message say why.
        /// </exception>
        public static KorvelInterface Open(string port)
        {
            CheckPortName(port);
            return OnLine(() => OpenNow(port));
        }

        /// <summary>The adapter's version text (read-version command 0x01).</summary>
        public string Version()
        {
            return OnLine(VersionNow);
        }

        /// <summary>Version, run off the caller's thread.</summary>
        /// <param name="cancellationToken">
        /// Cancels the call while it waits for the line; once sent, it ends within its bound
        /// (0.52 s for a silent adapter, 2.0 s for a chattering line).
        /// </param>
        public Task<string> GetVersionAsync(CancellationToken cancellationToken = default)
        {
            return OnLineAsync(VersionNow, cancellationToken);
        }

        /// <summary>Sends the line-reset command 0x02.</summary>
        public void Reset()
        {
            OnLine(ResetNow);
        }

        /// <summary>Reset, run off the caller's thread.</summary>
        /// <param name="cancellationToken">
        /// Cancels the call while it waits for the line; once sent, it ends within its bound
        /// (0.52 s for a silent adapter, 2.0 s for a chattering line).
        /// </param>
        public Task ResetAsync(CancellationToken cancellationToken = default)
        {
            return OnLineAsync(ResetNow, cancellationToken);
        }

        /// <summary>
        /// Sends one command (up to 3 attempts) and returns the reply's payload, at most
        /// capacity bytes of it. A one-byte reply is the adapter's status: 0x00 is returned,
        /// any other throws (AdapterStatus holds it). Commands of up to 124 bytes always fit;
        /// up to 250 when few bytes need stuffing.
        /// </summary>
        /// <exception cref="ArgumentNullException">command is null.</exception>
        /// <exception cref="ArgumentOutOfRangeException">capacity is negative.</exception>
        /// <exception cref="ArgumentException">The command does not fit one request frame.</exception>
        public byte[] Execute(byte[] command, int capacity = DefaultCapacity)
        {
            CheckCommand(command, capacity);
            return OnLine(() => ExecuteNow(command, capacity));
        }

        /// <summary>Execute with a capacity of 512 bytes, run off the caller's thread.</summary>
        /// <param name="command">The command bytes.</param>
        /// <param name="cancellationToken">
        /// Cancels the command while it waits for the line; once sent, it ends within its
        /// bound (1.6 s for a silent adapter, 6.1 s for a chattering line).
        /// </param>
        public Task<byte[]> ExecuteAsync(byte[] command, CancellationToken cancellationToken = default)
        {
            return ExecuteAsync(command, DefaultCapacity, cancellationToken);
        }

        /// <summary>Execute, run off the caller's thread.</summary>
        /// <param name="command">The command bytes.</param>
        /// <param name="capacity">The most reply bytes to return.</param>
        /// <param name="cancellationToken">
        /// Cancels the command while it waits for the line; once sent, it ends within its
        /// bound (1.6 s for a silent adapter, 6.1 s for a chattering line).
        /// </param>
        /// <exception cref="ArgumentNullException">command is null.</exception>
        /// <exception cref="ArgumentOutOfRangeException">capacity is negative.</exception>
        /// <exception cref="ArgumentException">The command does not fit one request frame.</exception>
        public Task<byte[]> ExecuteAsync(byte[] command, int capacity,
                                         CancellationToken cancellationToken = default)
        {
            CheckCommand(command, capacity);
            // The command as it is now: the caller may reuse the array before the call starts.
            var sent = (byte[])command.Clone();
            return OnLineAsync(() => ExecuteNow(sent, capacity), cancellationToken);
        }

        /// <summary>
        /// Closes the port; closing again, or after a superseding open, does nothing. A call in
        /// progress on another thread finishes first, and the port closes when it returns.
        /// </summary>
        public void Dispose()
        {
            lock (CurrentLock)
            {
                if (current == this)
                    current = null;
                handle.Dispose();
            }
        }

        static string? ScanNow()
        {
            var name = new byte[PortNameBuffer];
            Check("MDB_IF_ScanInterface", NativeMethods.MDB_IF_ScanInterface(name));
            string text = AnsiText(name);
            return text.Length == 0 ? null : text;
        }

        static KorvelInterface OpenNow(string port)
        {
            lock (CurrentLock)
            {
                IntPtr opened;
                int result = NativeMethods.MDB_IF_OpenInterface(port, out opened);
                int error = Marshal.GetLastWin32Error();
                // A failed open supersedes the current interface too, unless the library
                // refused the path as no serial port. The superseded handle is released now:
                // the library refuses it, and no later release can meet a reused value.
                if (current != null && !current.handle.IsClosed &&
                    (result == 0 || !StillCurrent(current.handle)))
                    current.handle.Dispose();
                if (current != null && current.handle.IsClosed)
                    current = null;
                if (result == (int)KorvelResult.OpenOrCrcError)
                    throw OpenFailure(port, error);
                Check("MDB_IF_OpenInterface", result);
                current = new KorvelInterface(port, new KorvelInterfaceHandle(opened));
                return current;
            }
        }

        string VersionNow()
        {
            const string function = "MDB_IF_GetVersion";
            // Zeroed: a status byte other than 0x00 is left in the first byte.
            var text = new byte[VersionCapacity];
            int result = WithHandle(function,
                                    open => NativeMethods.MDB_IF_GetVersion(open, text, text.Length));
            CheckStatus(function, result, text[0]);
            return AnsiText(text);
        }

        bool ResetNow()
        {
            const string function = "MDB_IF_LineReset";
            int result = WithHandle(function, open => NativeMethods.MDB_IF_LineReset(open));
            // The reply stays inside the library; two codes name their status alone.
            if (result == (int)KorvelResult.AdapterError)
                throw new KorvelException(function, result, StatusFF);
            if (result == (int)KorvelResult.AdapterStatusFE)
                throw new KorvelException(function, result, StatusFE);
            Check(function, result);
            return true;
        }

        byte[] ExecuteNow(byte[] command, int capacity)
        {
            const string function = "MDB_IF_ExecCommand";
            var reply = new byte[Math.Min(capacity, LargestReply)];
            int length = reply.Length;
            int result = WithHandle(function, open => NativeMethods.MDB_IF_ExecCommand(
                open, command, command.Length, reply, ref length));
            // A failure after a valid reply means a one-byte status other than 0x00, delivered
            // into the zeroed buffer.
            CheckStatus(function, result, reply.Length > 0 ? reply[0] : (byte)0);
            Array.Resize(ref reply, length);
            return reply;
        }

        // The handle stays open for the length of the call: a Dispose meanwhile closes the
        // port when the call returns.
        T WithHandle<T>(string function, Func<IntPtr, T> call)
        {
            bool added = false;
            try
            {
                try
                {
                    handle.DangerousAddRef(ref added);
                }
                catch (ObjectDisposedException)
                {
                    throw new KorvelException(function, (int)KorvelResult.BadHandle);
                }
                return call(handle.DangerousGetHandle());
            }
            finally
            {
                if (added)
                    handle.DangerousRelease();
            }
        }

        static T OnLine<T>(Func<T> call)
        {
            Line.Wait();
            try
            {
                return Loaded(call);
            }
            finally
            {
                Line.Release();
            }
        }

        static async Task<T> OnLineAsync<T>(Func<T> call, CancellationToken cancellationToken)
        {
            await Line.WaitAsync(cancellationToken).ConfigureAwait(false);
            try
            {
                // Cancelled until the call starts; a call on the line runs to its end.
                return await Task.Run(() => Loaded(call), cancellationToken).ConfigureAwait(false);
            }
            finally
            {
                Line.Release();
            }
        }

        // The library is loaded at the first call: when it cannot be, the exception says
        // where it was looked for and what to change.
        static T Loaded<T>(Func<T> call)
        {
            try
            {
                return call();
            }
            catch (DllNotFoundException error)
            {
                throw new DllNotFoundException(NotFoundMessage(error), error);
            }
            catch (BadImageFormatException error) when (Windows && IntPtr.Size == 4)
            {
                throw new BadImageFormatException(
                    "korvel_dll.dll is a 64-bit DLL and this process is 32-bit: build the " +
                    "program for x64 (or AnyCPU without \"Prefer 32-bit\")", error);
            }
        }

        static string NotFoundMessage(DllNotFoundException error)
        {
            string folder = AppContext.BaseDirectory;
            if (Windows)
                return string.Format(CultureInfo.InvariantCulture,
                    "korvel_dll.dll could not be loaded. It was looked for beside the program " +
                    "({0}), in runtimes\\win-x64\\native there (where the Korvel package puts " +
                    "it), in the system folders and on PATH. Add the Korvel package, copy " +
                    "korvel_dll.dll (64-bit) beside the .exe, or add its folder to PATH. The " +
                    "loader said: {1}", folder, error.Message);
            return string.Format(CultureInfo.InvariantCulture,
                "libkorvel_dll.so could not be loaded. It was looked for beside the program " +
                "({0}), in runtimes/linux-x64/native there (where the Korvel package puts it), " +
                "and where the system's loader looks (LD_LIBRARY_PATH, then /etc/ld.so.cache). " +
                "Add the Korvel package, copy libkorvel_dll.so beside the program, or set " +
                "LD_LIBRARY_PATH to its folder{1}. The loader said: {2}", folder,
                Mono ? " (or map \"korvel_dll\" to it with a dllmap)" : "", error.Message);
        }

        // The library refuses a negative capacity right after the handle check, touching
        // nothing, so only a superseded handle gets 1.
        static bool StillCurrent(KorvelInterfaceHandle handle)
        {
            return NativeMethods.MDB_IF_GetVersion(handle.DangerousGetHandle(), null, -1) !=
                   (int)KorvelResult.BadHandle;
        }

        static void Check(string function, int result)
        {
            if (result != 0)
                throw new KorvelException(function, result);
        }

        // firstByte is the reply buffer's first byte, zeroed before the call: nonzero after a
        // failure only when a reply delivered its status byte there (0x00 is success).
        static void CheckStatus(string function, int result, byte firstByte)
        {
            if (result == 0 || result == (int)KorvelResult.BadHandle)
                Check(function, result);
            else if (firstByte != 0)
                throw new KorvelException(function, result, firstByte);
            else
                Check(function, result);
        }

        static KorvelException OpenFailure(string port, int error)
        {
            const string function = "MDB_IF_OpenInterface";
            string hint = port.StartsWith(DevicePrefix, StringComparison.Ordinal)
                ? string.Format(CultureInfo.InvariantCulture, "; give the name without {0}: {1}",
                                DevicePrefix, port.Substring(DevicePrefix.Length))
                : "";
            if (error == 0 && hint.Length == 0)
                return new KorvelException(function, (int)KorvelResult.OpenOrCrcError);
            string reason = error == 0 ? "the library gave no reason"
                : string.Format(CultureInfo.InvariantCulture, Windows ? "[WinError {0}] {1}" : "[Errno {0}] {1}",
                                error, SystemText(error));
            return new KorvelException(function, (int)KorvelResult.OpenOrCrcError, error,
                string.Format(CultureInfo.InvariantCulture, "could not open '{0}': {1}{2}",
                              port, reason, hint));
        }

        // .NET gives errno's text on Linux; Mono would give the Windows message of the same
        // number, so there it comes from libc.
        static string SystemText(int error)
        {
            if (Mono && !Windows)
            {
                try
                {
                    return Marshal.PtrToStringAnsi(strerror(error)) ?? error.ToString(CultureInfo.InvariantCulture);
                }
                catch (DllNotFoundException)
                {
                }
                catch (EntryPointNotFoundException)
                {
                }
            }
            return new Win32Exception(error).Message;
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
                throw new ArgumentNullException(nameof(port));
            int longest = Windows ? 15 : 14;
            bool ascii = true;
            foreach (char c in port)
                ascii &= c > 0 && c < 128;
            if (port.Length == 0 || port.Length > longest || !ascii ||
                (!Windows && port.Contains("..")))
                throw new ArgumentException(string.Format(CultureInfo.InvariantCulture,
                    "not a port name (ASCII, 1 to {0} characters{1}): \"{2}\"", longest,
                    Windows ? "" : ", no \"..\"", port), nameof(port));
        }

        static void CheckCommand(byte[] command, int capacity)
        {
            if (command == null)
                throw new ArgumentNullException(nameof(command));
            if (capacity < 0)
                throw new ArgumentOutOfRangeException(nameof(capacity), capacity, "must not be negative");
            if (StuffedFrameLength(command) > TransmitBuffer)
                throw new ArgumentException(string.Format(CultureInfo.InvariantCulture,
                    "a command of {0} bytes does not fit one request frame once stuffed",
                    command.Length), nameof(command));
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
