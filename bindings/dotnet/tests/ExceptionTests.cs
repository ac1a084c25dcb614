// Serialisation with SerializationInfo is obsolete on .NET, and tested here on purpose:
// .NET Framework hosts still use it.
#pragma warning disable SYSLIB0050, SYSLIB0051, CS0618
using System.Runtime.Serialization;
using Xunit;

namespace Korvel.Tests;

public sealed class ExceptionTests
{
    sealed class Restored(SerializationInfo info, StreamingContext context)
        : KorvelException(info, context);

    [Fact]
    public void CodesReasonAndStatusSurviveSerialisation()
    {
        Assert.True(typeof(KorvelException).IsSerializable);
        foreach (var error in new[] {
            new KorvelException("MDB_IF_OpenInterface", 2, 13, "denied"),
            new KorvelException("MDB_IF_ExecCommand", 6, (byte)0x33) })
        {
            var info = new SerializationInfo(typeof(KorvelException), new FormatterConverter());
            error.GetObjectData(info, default);
            var copy = new Restored(info, default);
            Assert.Equal((error.Code, error.Function, error.NativeErrorCode, error.AdapterStatus, error.Message),
                         (copy.Code, copy.Function, copy.NativeErrorCode, copy.AdapterStatus, copy.Message));
        }
    }

    [Fact]
    public void AStreamWrittenBeforeTheStatusWasKeptStillReads()
    {
        var info = new SerializationInfo(typeof(KorvelException), new FormatterConverter());
        new System.Exception("MDB_IF_LineReset returned 4").GetObjectData(info, default);
        info.AddValue("Code", 4);
        info.AddValue("Function", "MDB_IF_LineReset");
        info.AddValue("NativeErrorCode", 0);
        var copy = new Restored(info, default);
        Assert.Equal((4, "MDB_IF_LineReset", (byte?)null), (copy.Code, copy.Function, copy.AdapterStatus));
    }

    [Theory]
    [InlineData("MDB_IF_ExecCommand", 6, "MDB_IF_ADAPTER_ERROR",
                "the adapter reported an error status (a one-byte reply other than 0x00, 0xFC, 0xFD and 0xFE)")]
    [InlineData("MDB_IF_GetVersion", 6, "MDB_IF_ADAPTER_ERROR", "the adapter reported status 0xFF")]
    [InlineData("MDB_IF_LineReset", 9, "MDB_IF_UNKNOWN", "a result this binding does not know")]
    public void WithoutAStatusTheMessageSaysWhatTheCodeMeansForTheCall(string function, int code,
                                                                        string name, string meaning)
    {
        var error = new KorvelException(function, code);
        Assert.Equal($"{function} returned {code} ({name}): {meaning}", error.Message);
        Assert.Null(error.AdapterStatus);
    }
}
