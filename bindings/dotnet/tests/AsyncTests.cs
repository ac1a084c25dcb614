using System;
using System.Threading;
using System.Threading.Tasks;
using Xunit;

namespace Korvel.Tests;

[Collection(AdapterCollection.Name)]
public sealed class AsyncTests(Adapters adapters)
{
    static readonly byte[] Stuffed = Convert.FromHexString(Adapters.StuffedCommand.Replace(" ", ""));

    [Fact]
    public async Task TheTasksGiveWhatTheSynchronousCallsGive()
    {
        using var adapter = KorvelInterface.Open(adapters.Answering.Port);
        Assert.Equal("KORVEL-SIM 1.0", await adapter.GetVersionAsync());
        await adapter.ResetAsync();
        // A synchronous call made while a task holds the line waits its turn.
        Task<byte[]> reply = adapter.ExecuteAsync(Stuffed);
        Assert.Equal("KORVEL-SIM 1.0", adapter.Version());
        Assert.Equal("00-7D-02-03", BitConverter.ToString(await reply));
        Assert.Equal("00-7D", BitConverter.ToString(await adapter.ExecuteAsync(Stuffed, 2)));
        // A task sends the command as it was when it was asked for.
        Task<byte[]> first = adapter.ExecuteAsync(new byte[] { 0x0A });
        var reused = (byte[])Stuffed.Clone();
        Task<byte[]> second = adapter.ExecuteAsync(reused);
        Array.Fill(reused, (byte)0x0A);
        await first;
        Assert.Equal("00-7D-02-03", BitConverter.ToString(await second));
    }

    [Fact]
    public async Task ATaskFailsWithTheSameException()
    {
        var adapter = KorvelInterface.Open(adapters.Statuses.Port);
        var error = await Assert.ThrowsAsync<KorvelException>(() => adapter.ExecuteAsync(new byte[] { 0x0A }));
        Assert.Equal((6, (byte?)0x33), (error.Code, error.AdapterStatus));
        adapter.Dispose();
        error = await Assert.ThrowsAsync<KorvelException>(() => adapter.GetVersionAsync());
        Assert.Equal(KorvelResult.BadHandle, error.Result);
    }

    [Fact]
    public async Task ACancelledTokenStopsEveryCallBeforeItStarts()
    {
        using var cancelled = new CancellationTokenSource();
        cancelled.Cancel();
        var adapter = KorvelInterface.Open(adapters.Answering.Port);
        adapter.Dispose();
        // Were the call made, the closed interface would throw BadHandle; a scan would probe.
        foreach (Task call in new Task[] {
            adapter.ExecuteAsync(Stuffed, cancelled.Token), adapter.ResetAsync(cancelled.Token),
            adapter.GetVersionAsync(cancelled.Token), KorvelInterface.ScanAsync(cancelled.Token) })
        {
            await Assert.ThrowsAnyAsync<OperationCanceledException>(() => call);
            Assert.True(call.IsCanceled);
        }
    }

    [Fact]
    public async Task ACallWaitingForTheLineIsCancelledAndNeverSent()
    {
        Simulator silent = adapters.Silent;
        using var adapter = KorvelInterface.Open(silent.Port);
        int before = silent.Requests;
        Task<byte[]> running = adapter.ExecuteAsync(Stuffed);
        using var cancel = new CancellationTokenSource();
        Task<byte[]> waiting = adapter.ExecuteAsync(Stuffed, cancel.Token);
        cancel.Cancel();
        await Assert.ThrowsAnyAsync<OperationCanceledException>(() => waiting);
        // Cancelled in the queue, not when its turn came: the silent adapter keeps the
        // running command on the line for about 1.6 s.
        Assert.False(running.IsCompleted);
        // The command on the line runs to its end: three attempts, then the timeout.
        var error = await Assert.ThrowsAsync<KorvelException>(() => running);
        Assert.Equal(KorvelResult.Timeout, error.Result);
        Assert.Equal(3, silent.Requests - before);
    }
}
