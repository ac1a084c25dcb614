// A console session with the adapter: version, line reset, one command.
// Copyright (c) 2026 the korvel_dll authors, under the MIT License.
//   Sample.exe [PORT]      (without PORT, the port a scan finds)
// Exit status: 0 done, 1 no adapter found, 2 a port name the binding refuses,
// 3 the library could not be loaded, 10 + N a library call returned result N.
// Build: a console project with the Korvel package (dotnet add package
// Korvel), or csc -platform:x64 Sample.cs Korvel.cs (korvel_dll.dll is
// 64-bit).
using System;
using Korvel;

static class Sample
{
    static int Main(string[] args)
    {
        try
        {
            var port = args.Length > 0 ? args[0] : KorvelInterface.Scan();
            if (port == null)
            {
                Console.Error.WriteLine("no adapter found");
                return 1;
            }
            using (var adapter = KorvelInterface.Open(port))
            {
                Console.WriteLine("port {0}: {1}", port, adapter.Version());
                adapter.Reset();
                byte[] reply = adapter.Execute(new byte[] { 0x0A, 0x0B });
                Console.WriteLine("reply: {0}", BitConverter.ToString(reply).Replace('-', ' '));
            }
            return 0;
        }
        catch (KorvelException error)
        {
            Console.Error.WriteLine(error.Message);
            return 10 + error.Code;
        }
        catch (ArgumentException error)
        {
            Console.Error.WriteLine(error.Message);
            return 2;
        }
        catch (Exception error) when (error is DllNotFoundException || error is BadImageFormatException)
        {
            Console.Error.WriteLine(error.Message);
            return 3;
        }
    }
}
