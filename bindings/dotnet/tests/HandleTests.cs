using System;
using Xunit;

namespace Korvel.Tests;

[Collection(AdapterCollection.Name)]
public sealed class HandleTests(Adapters adapters)
{
    const int NotCurrent = (int)KorvelResult.BadHandle;
    const int Current = (int)KorvelResult.LinkError;

    // The library checks the handle first and then refuses a negative capacity, touching
    // nothing: 1 for a handle that is not the current interface, 5 for the current one.
    static int Probe(IntPtr raw) => NativeMethods.MDB_IF_GetVersion(raw, null, -1);

    [Fact]
    public void DisposingReleasesTheHandleAndClosesTheInterface()
    {
        var adapter = KorvelInterface.Open(adapters.Answering.Port);
        KorvelInterfaceHandle handle = adapter.Handle;
        IntPtr raw = handle.DangerousGetHandle();
        Assert.False(handle.IsInvalid);
        Assert.Equal(Current, Probe(raw));
        adapter.Dispose();
        adapter.Dispose();
        Assert.True(handle.IsClosed && adapter.IsClosed);
        Assert.Equal(NotCurrent, Probe(raw));
        var error = Assert.Throws<KorvelException>(() => adapter.Version());
        Assert.Equal((1, "MDB_IF_BAD_HANDLE"), (error.Code, error.Name));
    }

    [Fact]
    public void ReleasingTheSafeHandleClosesTheInterface()
    {
        var adapter = KorvelInterface.Open(adapters.Answering.Port);
        IntPtr raw = adapter.Handle.DangerousGetHandle();
        adapter.Handle.Dispose();
        Assert.True(adapter.IsClosed);
        Assert.Equal(NotCurrent, Probe(raw));
        Assert.Equal(KorvelResult.BadHandle, Assert.Throws<KorvelException>(adapter.Reset).Result);
        adapter.Dispose();
    }

    [Fact]
    public void ASupersededInterfaceIsClosedAndReleasingItLeavesTheNewOneOpen()
    {
        var first = KorvelInterface.Open(adapters.Answering.Port);
        using var second = KorvelInterface.Open(adapters.Answering.Port);
        Assert.True(first.IsClosed && first.Handle.IsClosed);
        Assert.False(second.IsClosed);
        Assert.Equal(KorvelResult.BadHandle, Assert.Throws<KorvelException>(first.Reset).Result);
        first.Dispose();
        second.Reset();
    }

    [Fact]
    public void ReleasingAHandleTheLibrarySupersededLeavesTheNewInterfaceOpen()
    {
        // An open behind the binding's back: the binding still takes its interface for the
        // current one, and only the library's refusal keeps the newer one open.
        string port = adapters.Answering.Port;
        var adapter = KorvelInterface.Open(port);
        IntPtr old = adapter.Handle.DangerousGetHandle();
        Assert.Equal(0, NativeMethods.MDB_IF_OpenInterface(port, out IntPtr newer));
        try
        {
            Assert.Equal(NotCurrent, Probe(old));
            adapter.Dispose();
            var text = new byte[64];
            Assert.Equal(0, NativeMethods.MDB_IF_GetVersion(newer, text, text.Length));
        }
        finally
        {
            Assert.Equal(0, NativeMethods.MDB_IF_CloseInterface(newer));
        }
    }
}
