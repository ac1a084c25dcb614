using System;
using Xunit;

namespace Korvel.Tests;

[Collection(AdapterCollection.Name)]
public sealed class InterfaceTests(Adapters adapters)
{
    static readonly byte[] Stuffed = Convert.FromHexString(Adapters.StuffedCommand.Replace(" ", ""));

    [Fact]
    public void VersionResetAndACommandThatNeedsStuffing()
    {
        using var adapter = KorvelInterface.Open(adapters.Answering.Port);
        Assert.Equal("KORVEL-SIM 1.0", adapter.Version());
        adapter.Reset();
        Assert.Equal("00-7D-02-03", BitConverter.ToString(adapter.Execute(Stuffed)));
        Assert.Equal("00-7D", BitConverter.ToString(adapter.Execute(Stuffed, 2)));
    }

    [Fact]
    public void AFailedOpenSupersedesUnlessThePathIsNoSerialPort()
    {
        using var adapter = KorvelInterface.Open(adapters.Answering.Port);
        Assert.Throws<KorvelException>(() => KorvelInterface.Open("null"));
        Assert.False(adapter.IsClosed);
        Assert.Throws<KorvelException>(() => KorvelInterface.Open("pts/99999"));
        Assert.True(adapter.IsClosed);
    }

    [Fact]
    public void BadArgumentsThrowBeforeTheLibraryIsCalled()
    {
        Assert.Throws<ArgumentNullException>(() => KorvelInterface.Open(null!));
        foreach (string name in new[] { "", new string('a', 15), "../etc/tty", "pts/\u00e9" })
            Assert.Throws<ArgumentException>(() => KorvelInterface.Open(name));
        using var adapter = KorvelInterface.Open(adapters.Answering.Port);
        Assert.Throws<ArgumentNullException>(() => adapter.Execute(null!));
        // The tasks' methods throw these at once, as the synchronous ones do.
        Assert.Throws<ArgumentNullException>(() => { _ = adapter.ExecuteAsync(null!); });
        Assert.Throws<ArgumentOutOfRangeException>(() => adapter.Execute(Stuffed, -1));
        var escapes = new byte[126];
        Array.Fill(escapes, (byte)0x7D);
        Assert.Throws<ArgumentException>(() => adapter.Execute(escapes));
        Assert.Throws<ArgumentException>(() => { _ = adapter.ExecuteAsync(escapes, 1); });
        adapter.Execute(new byte[250]);
    }

    [Fact]
    public void ASilentAdapterThrowsTheTimeoutWithoutAStatus()
    {
        using var adapter = KorvelInterface.Open(adapters.Silent.Port);
        var error = Assert.Throws<KorvelException>(() => adapter.Execute(Stuffed));
        Assert.Equal((4, KorvelResult.Timeout, "MDB_IF_TIMEOUT", "MDB_IF_ExecCommand", 0),
                     (error.Code, error.Result, error.Name, error.Function, error.NativeErrorCode));
        Assert.Null(error.AdapterStatus);
        Assert.EndsWith("no reply in time, or the adapter reported status 0xFC", error.Message);
    }

    public static TheoryData<string, string, int, byte, string> StatusReplies => new()
    {
        { "exec", "0A", 6, 0x33, "MDB_IF_ExecCommand returned 6 (MDB_IF_ADAPTER_ERROR): the adapter reported error status 0x33" },
        { "exec", "0B", 7, 0xFE, "the adapter reported status 0xFE" },
        { "exec", "0C", 4, 0xFC, "the adapter reported status 0xFC" },
        { "exec", "0D", 2, 0xFD, "the adapter reported status 0xFD" },
        { "version", "", 5, 0x33, "the reply carried status 0x33, which MDB_IF_GetVersion does not know" },
        { "reset", "", 6, 0xFF, "MDB_IF_LineReset returned 6 (MDB_IF_ADAPTER_ERROR): the adapter reported error status 0xFF" },
    };

    [Theory]
    [MemberData(nameof(StatusReplies))]
    public void AnAdapterStatusIsNamedWithItsByte(string call, string command, int code, byte status,
                                                  string message)
    {
        using var adapter = KorvelInterface.Open(adapters.Statuses.Port);
        Action action = call switch
        {
            "exec" => () => adapter.Execute(Convert.FromHexString(command)),
            "version" => () => adapter.Version(),
            _ => adapter.Reset,
        };
        var error = Assert.Throws<KorvelException>(action);
        Assert.Equal((code, (byte?)status), (error.Code, error.AdapterStatus));
        Assert.EndsWith(message, error.Message);
    }

    [Theory]
    [InlineData("pts/99999", 2, "No such file or directory")]
    [InlineData("null", 25, "Inappropriate ioctl for device")]
    public void AFailedOpenSaysWhy(string port, int errno, string text)
    {
        var error = Assert.Throws<KorvelException>(() => KorvelInterface.Open(port));
        Assert.Equal((2, errno), (error.Code, error.NativeErrorCode));
        Assert.EndsWith($"): could not open '{port}': [Errno {errno}] {text}", error.Message);
    }

    [Fact]
    public void AnExistingDeviceGivenWithItsFolderGetsTheHint()
    {
        string port = "/dev/" + adapters.Answering.Port;
        var error = Assert.Throws<KorvelException>(() => KorvelInterface.Open(port));
        Assert.EndsWith($"could not open '{port}': [Errno 2] No such file or directory; " +
                        $"give the name without /dev/: {adapters.Answering.Port}", error.Message);
    }
}
