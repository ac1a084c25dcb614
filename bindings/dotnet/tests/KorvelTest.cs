// Korvel.cs against korvel-sim, the simulated adapter, through the library.
//   mono KorvelTest.exe KORVEL_SIM
// Exits with the number of failed checks.
using System;
using System.Diagnostics;
using System.IO;
using System.Text;
using System.Threading;
using Korvel;

sealed class Simulator : IDisposable
{
    readonly Process process;
    readonly StringBuilder output = new StringBuilder();
    readonly string folder = Path.Combine(Path.GetTempPath(), Path.GetRandomFileName());

    public Simulator(string program, string options)
    {
        Directory.CreateDirectory(folder);
        string portFile = Path.Combine(folder, "port");
        var start = new ProcessStartInfo(program, "--port-file " + portFile + " " + options)
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
        };
        process = Process.Start(start);
        process.OutputDataReceived += (sender, line) => { lock (output) output.AppendLine(line.Data); };
        process.BeginOutputReadLine();
        for (int i = 0; !File.Exists(portFile); i++)
        {
            if (i == 250 || process.HasExited)
                throw new Exception("korvel-sim did not start");
            Thread.Sleep(20);
        }
        Port = File.ReadAllText(portFile).Trim();
    }

    public string Port { get; private set; }

    public int Requests()
    {
        Thread.Sleep(200); // korvel-sim prints each exchange after its reply
        lock (output)
            return output.ToString().Split(new[] { " request " }, StringSplitOptions.None).Length - 1;
    }

    public void Dispose()
    {
        if (!process.HasExited)
            process.Kill();
        process.WaitForExit(5000);
        Directory.Delete(folder, true);
    }
}

static class KorvelTest
{
    static string sim;
    static int failures;

    static void Expect(bool condition, string what)
    {
        if (!condition)
            throw new Exception("expected " + what);
    }

    static void Throws<T>(Action call, string what) where T : Exception
    {
        try
        {
            call();
        }
        catch (T)
        {
            return;
        }
        throw new Exception(what + " did not throw " + typeof(T).Name);
    }

    static KorvelException Failure(Action call)
    {
        try
        {
            call();
        }
        catch (KorvelException error)
        {
            return error;
        }
        throw new Exception("no KorvelException");
    }

    static void Run(string name, string options, Action<Simulator> test)
    {
        try
        {
            using (var adapter = new Simulator(sim, options))
                test(adapter);
            Console.WriteLine("ok   {0}", name);
        }
        catch (Exception error)
        {
            failures++;
            Console.WriteLine("FAIL {0}: {1}", name, error);
        }
    }

    static int Main(string[] args)
    {
        sim = args[0];
        const string stuffed = "--reply \"02 03 7D 10=00 7D 02 03\"";

        Run("version, reset and a command that needs stuffing", stuffed, s =>
        {
            using (var adapter = KorvelInterface.Open(s.Port))
            {
                Expect(adapter.Version() == "KORVEL-SIM 1.0", "the version text");
                adapter.Reset();
                byte[] reply = adapter.Execute(new byte[] { 0x02, 0x03, 0x7D, 0x10 });
                Expect(BitConverter.ToString(reply) == "00-7D-02-03", "the reply");
                reply = adapter.Execute(new byte[] { 0x02, 0x03, 0x7D, 0x10 }, 2);
                Expect(BitConverter.ToString(reply) == "00-7D", "the reply cut to 2 bytes");
            }
        });

        Run("a closed or superseded interface throws bad handle", stuffed, s =>
        {
            var adapter = KorvelInterface.Open(s.Port);
            adapter.Dispose();
            adapter.Dispose();
            KorvelException error = Failure(() => adapter.Version());
            Expect(error.Code == 1 && error.Name == "MDB_IF_BAD_HANDLE", "code 1: " + error.Message);
            // Reopening the port supersedes the first: the library refuses its handle.
            var first = KorvelInterface.Open(s.Port);
            using (var second = KorvelInterface.Open(s.Port))
            {
                Expect(Failure(() => first.Reset()).Result == KorvelResult.BadHandle, "code 1");
                second.Reset();
            }
            first.Dispose();
        });

        Run("bad arguments throw before anything is sent", stuffed, s =>
        {
            Throws<ArgumentNullException>(() => KorvelInterface.Open(null), "a null port");
            foreach (string port in new[] { "", new string('a', 15), "../etc/tty", "pts/\u00e9" })
                Throws<ArgumentException>(() => KorvelInterface.Open(port), "port " + port);
            using (var adapter = KorvelInterface.Open(s.Port))
            {
                Throws<ArgumentNullException>(() => adapter.Execute(null), "a null command");
                Throws<ArgumentOutOfRangeException>(() => adapter.Execute(new byte[1], -1),
                                                    "a negative capacity");
                var stuffedOnly = new byte[126];
                for (int i = 0; i < stuffedOnly.Length; i++)
                    stuffedOnly[i] = 0x7D;
                Throws<ArgumentException>(() => adapter.Execute(stuffedOnly), "126 stuffed bytes");
                adapter.Execute(new byte[250]);
            }
            Expect(s.Requests() == 1, "one request, not " + s.Requests());
        });

        Run("a silent adapter throws the timeout", "--silent", s =>
        {
            using (var adapter = KorvelInterface.Open(s.Port))
            {
                KorvelException error = Failure(() => adapter.Execute(new byte[] { 0x0A, 0x0B }));
                Expect(error.Code == 4 && error.Result == KorvelResult.Timeout &&
                       error.Name == "MDB_IF_TIMEOUT" && error.Function == "MDB_IF_ExecCommand",
                       "code 4: " + error.Message);
            }
        });
        return failures;
    }
}
