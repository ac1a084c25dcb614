using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using Xunit;

[assembly: CollectionBehavior(DisableTestParallelization = true)]

namespace Korvel.Tests;

/// korvel-sim on a pseudo-terminal, its output kept line by line.
public sealed class Simulator : IDisposable
{
    static readonly TimeSpan StartLimit = TimeSpan.FromSeconds(5);
    readonly string folder = Directory.CreateTempSubdirectory("korvel-sim-").FullName;
    readonly Process process;
    readonly List<string> lines = new();

    public Simulator(params string[] options)
    {
        string program = Environment.GetEnvironmentVariable("KORVEL_SIM")
            ?? throw new InvalidOperationException("KORVEL_SIM must name the korvel-sim program");
        string portFile = Path.Combine(folder, "port");
        var start = new ProcessStartInfo(program) { RedirectStandardOutput = true };
        foreach (string argument in new[] { "--port-file", portFile }.Concat(options))
            start.ArgumentList.Add(argument);
        process = Process.Start(start)!;
        process.OutputDataReceived += (_, line) =>
        {
            if (line.Data != null)
                lock (lines)
                    lines.Add(line.Data);
        };
        process.BeginOutputReadLine();
        var started = Stopwatch.StartNew();
        while (!File.Exists(portFile) || new FileInfo(portFile).Length == 0)
        {
            if (process.HasExited || started.Elapsed > StartLimit)
            {
                Dispose();
                throw new InvalidOperationException("korvel-sim did not start");
            }
            Thread.Sleep(20);
        }
        Port = File.ReadAllText(portFile).Trim();
    }

    public string Port { get; }

    /// How many requests the adapter has decoded so far.
    public int Requests
    {
        get
        {
            lock (lines)
                return lines.Count(line => line.Contains(" request ", StringComparison.Ordinal));
        }
    }

    public void Dispose()
    {
        if (!process.HasExited)
            process.Kill();
        process.WaitForExit();
        process.Dispose();
        Directory.Delete(folder, true);
    }
}

/// The adapters every test shares: one that answers, one that never does, and one whose
/// answers are adapter status bytes.
public sealed class Adapters : IDisposable
{
    public const string StuffedCommand = "02 03 7D 10";

    public Simulator Answering { get; } = new("--reply", StuffedCommand + "=00 7D 02 03");
    public Simulator Silent { get; } = new("--silent");
    public Simulator Statuses { get; } = new(
        "--reply", "01=33", "--reply", "02=FF", "--reply", "0A=33", "--reply", "0B=FE",
        "--reply", "0C=FC", "--reply", "0D=FD");

    public void Dispose()
    {
        Answering.Dispose();
        Silent.Dispose();
        Statuses.Dispose();
    }
}

[CollectionDefinition(Name)]
public sealed class AdapterCollection : ICollectionFixture<Adapters>
{
    public const string Name = "adapters";
}
