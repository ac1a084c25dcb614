// Korvel.cs through the library, against two korvel-sim adapters: one that
// answers 02 03 7D 10 with 00 7D 02 03, and a silent one.
//   mono KorvelTest.exe PORT SILENT_PORT
// Exits with the number of failed checks.
using System;
using System.IO;
using System.Runtime.Serialization.Formatters.Binary;
using Korvel;

static class KorvelTest
{
    static int failures;

    static void Expect(bool condition, string what)
    {
        if (!condition)
            throw new Exception("expected " + what);
    }

    static T Throws<T>(Action call, string what) where T : Exception
    {
        try
        {
            call();
        }
        catch (T error)
        {
            return error;
        }
        throw new Exception(what + " did not throw " + typeof(T).Name);
    }

    static void Run(string name, Action test)
    {
        try
        {
            test();
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
        string port = args[0], silentPort = args[1];
        var command = new byte[] { 0x02, 0x03, 0x7D, 0x10 };

        Run("version, reset and a command that needs stuffing", () =>
        {
            using (var adapter = KorvelInterface.Open(port))
            {
                Expect(adapter.Version() == "KORVEL-SIM 1.0", "the version text");
                adapter.Reset();
                Expect(BitConverter.ToString(adapter.Execute(command)) == "00-7D-02-03", "the reply");
                Expect(BitConverter.ToString(adapter.Execute(command, 2)) == "00-7D", "2 bytes");
            }
        });

        Run("a closed or superseded interface throws bad handle", () =>
        {
            var adapter = KorvelInterface.Open(port);
            adapter.Dispose();
            adapter.Dispose();
            var error = Throws<KorvelException>(() => adapter.Version(), "a closed interface");
            Expect(error.Code == 1 && error.Name == "MDB_IF_BAD_HANDLE", "code 1: " + error.Message);
            // A later open supersedes the first, which then counts as closed; disposing it
            // leaves the second open.
            var first = KorvelInterface.Open(port);
            using (var second = KorvelInterface.Open(port))
            {
                Expect(first.IsClosed && !second.IsClosed, "only the first closed");
                error = Throws<KorvelException>(() => first.Reset(), "a superseded interface");
                Expect(error.Result == KorvelResult.BadHandle, "code 1: " + error.Message);
                first.Dispose();
                second.Reset();
            }
        });

        Run("a failed open supersedes unless the path is no serial port", () =>
        {
            using (var adapter = KorvelInterface.Open(port))
            {
                Throws<KorvelException>(() => KorvelInterface.Open("null"), "no terminal");
                Expect(!adapter.IsClosed, "still open after a refused path");
                Throws<KorvelException>(() => KorvelInterface.Open("pts/99999"), "no such port");
                Expect(adapter.IsClosed, "superseded by the failed open");
            }
        });

        Run("bad arguments throw before the library is called", () =>
        {
            Throws<ArgumentNullException>(() => KorvelInterface.Open(null), "a null port");
            foreach (string name in new[] { "", new string('a', 15), "../etc/tty", "pts/\u00e9" })
                Throws<ArgumentException>(() => KorvelInterface.Open(name), "port " + name);
            using (var adapter = KorvelInterface.Open(port))
            {
                Throws<ArgumentNullException>(() => adapter.Execute(null), "a null command");
                Throws<ArgumentOutOfRangeException>(() => adapter.Execute(command, -1),
                                                    "a negative capacity");
                var escapes = new byte[126];
                for (int i = 0; i < escapes.Length; i++)
                    escapes[i] = 0x7D;
                Throws<ArgumentException>(() => adapter.Execute(escapes), "126 stuffed bytes");
                adapter.Execute(new byte[250]);
            }
        });

        Run("a silent adapter throws the timeout", () =>
        {
            using (var adapter = KorvelInterface.Open(silentPort))
            {
                var error = Throws<KorvelException>(() => adapter.Execute(command), "silence");
                Expect(error.Code == 4 && error.Result == KorvelResult.Timeout &&
                       error.Name == "MDB_IF_TIMEOUT" && error.Function == "MDB_IF_ExecCommand" &&
                       error.NativeErrorCode == 0, "code 4: " + error.Message);
            }
        });

        Run("a failed open says why, with errno and libc's text", () =>
        {
            foreach (var failure in new[] {
                Tuple.Create("pts/99999", 2, "No such file or directory"),
                Tuple.Create("null", 25, "Inappropriate ioctl for device") })  // no terminal
            {
                var error = Throws<KorvelException>(() => KorvelInterface.Open(failure.Item1),
                                                    failure.Item1);
                string reason = string.Format("could not open '{0}': [Errno {1}] {2}",
                                              failure.Item1, failure.Item2, failure.Item3);
                Expect(error.Code == 2 && error.NativeErrorCode == failure.Item2 &&
                       error.Message.EndsWith("): " + reason), reason + ": " + error.Message);
            }
        });

        Run("the exception survives BinaryFormatter", () =>
        {
            var error = new KorvelException("MDB_IF_OpenInterface", 2, 13, "denied");
            var stream = new MemoryStream();
            new BinaryFormatter().Serialize(stream, error);
            stream.Position = 0;
            var copy = (KorvelException)new BinaryFormatter().Deserialize(stream);
            Expect(copy.Code == 2 && copy.Function == error.Function &&
                   copy.NativeErrorCode == 13 && copy.Message == error.Message,
                   "the same exception: " + copy.Message);
        });
        return failures;
    }
}
