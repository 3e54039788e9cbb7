// The C# binding against the library and its simulated bus (sim: devices).
// Usage: mono PortTests.exe; exits 0 when every check passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Zavlib;

static class PortTests
{
    static int passed, failed;

    static void Check(bool condition, string what)
    {
        if (condition) { passed++; return; }
        failed++;
        Console.WriteLine("FAILED: " + what);
    }

    // Buses without echo, with echo cancelling off (Main), except where the echo is the subject.
    const int TimeOutOffset = 300;

    // A simulated bus in the library: sim:IDS, options after '?'.
    static string Bus(string ids, string options = "")
    {
        return "sim:" + ids + "?echo=0" + options;
    }

    static Port Open(string device)
    {
        var port = new Port(device);
        port.TimeOutOffset = TimeOutOffset;
        return port;
    }

    static ZavException Catch(Action action)
    {
        try { action(); }
        catch (ZavException error) { return error; }
        return null;
    }

    static bool Arrives(Port port, int id, int goal)
    {
        var deadline = Stopwatch.StartNew();
        while (deadline.Elapsed.TotalSeconds < 10)
            if (Math.Abs(port.Read(id, Register.PresentPosition) - goal) <= 10) return true;
        return false;
    }

    static void ScanMoveAndSyncWrite()
    {
        using (var port = Open(Bus("0-30", "&silent=3,29")))
        {
            Check(port.Scan().SequenceEqual(Enumerable.Range(0, 31).Where(id => id != 3 && id != 29)), "scan finds all but 3, 29 and 31");
            port.Write(2, Register.TorqueEnable, 1);
            port.Write(2, Register.GoalPosition, 4000);
            Check(Arrives(port, 2, 4000), "a goal written after torque arrives");
            port.Move(1, 11000);
            port.SyncWrite(Register.GoalPosition, new Dictionary<int, int> { { 1, 9000 }, { 2, 3500 } });
            Check(port.Read(1, Register.GoalPosition) == 9000 && port.Read(2, Register.GoalPosition) == 3500,
                  "sync write sets both goals");
            Check(Arrives(port, 1, 9000) && Arrives(port, 2, 3500), "sync-written goals arrive");
        }
    }

    static void SilentServo()
    {
        using (var port = Open(Bus("0-5", "&silent=3")))
        {
            Check(port.Ping(2) && !port.Ping(3), "ping: servo 2 answers, silent servo 3 does not");
            var error = Catch(() => port.Read(3, Register.PresentPosition));
            Check(error != null && error.Flags == Native.ERR_TIMEOUT && error.FlagNames.SequenceEqual(new[] { "ERR_TIMEOUT" })
                  && error.ServoId == 3 && !error.Partial, "a read of the silent servo fails with ERR_TIMEOUT");
        }
    }

    static void BadArguments()
    {
        var cases = new[]
        {
            Tuple.Create("id above 31", (Action<Port>)(p => p.Ping(40)), Native.ERR_ID, false),
            Tuple.Create("id a byte cannot hold", (Action<Port>)(p => p.Ping(257)), Native.ERR_ID, false),
            Tuple.Create("address past the image", (Action<Port>)(p => p.Read(1, (Register)10)), Native.ERR_ADDRESS, false),
            Tuple.Create("goal below range", (Action<Port>)(p => p.Write(1, Register.GoalPosition, 2999)), Native.ERR_WRITE, false),
            Tuple.Create("torque byte 256", (Action<Port>)(p => p.Write(1, Register.TorqueEnable, 256)), Native.ERR_WRITE, false),
            Tuple.Create("goal a word cannot hold", (Action<Port>)(p => p.Move(1, 70000)), Native.ERR_WRITE, false),
            Tuple.Create("empty sync write", (Action<Port>)(p => p.SyncWrite(Register.GoalPosition, new Dictionary<int, int>())), Native.ERR_ADDRESS, false),
            Tuple.Create("sync record for id 40", (Action<Port>)(p => p.SyncWrite(Register.GoalPosition, new Dictionary<int, int> { { 40, 5000 } })), Native.ERR_ID, true),
            Tuple.Create("broadcast stopping at missing id 0", (Action<Port>)(p => p.Write(Native.BROADCAST_ID, Register.Sc2Value, 50)), (ushort)(Native.ERR_TIMEOUT | Native.ERR_WRITE), true),
            Tuple.Create("zero-length receive", (Action<Port>)(p => p.Rx(0, 10)), Native.ERR_REPLY, false),
        };
        using (var port = Open(Bus("1")))
        {
            port.Write(1, Register.TorqueEnable, 1);
            foreach (var c in cases)
            {
                var error = Catch(() => c.Item2(port));
                Check(error != null && error.Flags == c.Item3 && error.Partial == c.Item4,
                      c.Item1 + ": " + (error == null ? "no exception" : error.Message));
            }
        }
        Check(Catch(() => new Port("/dev/zavlib-no-such-device")) != null, "opening a missing device throws");
    }

    // The declarations themselves, without the wrapper: byte results, ref status, buffers.
    static void NativeCalls()
    {
        ushort status = 0;
        Check(Native.ZAV_Ping(IntPtr.Zero, 1, ref status) == 0 && status == Native.ERR_HANDLE, "a null handle gives ERR_HANDLE");
        Check(Native.ZAV_OpenPort("/dev/zavlib-no-such-device", 115200) == IntPtr.Zero, "a missing device gives a null handle");
        {
            IntPtr handle = Native.ZAV_OpenPort(Bus("5"), 115200);
            Check(handle != IntPtr.Zero && Native.ZAV_Active(handle) == 1, "open and active");
            Native.ZAV_SetTimeOutOffset(handle, TimeOutOffset);
            Check(Native.ZAV_WriteBlockData(handle, 5, 1, new byte[] { 1, 0x4C, 0x1D }, 3, ref status) == 1 && status == 0,
                  "block write of torque and goal 7500");
            var image = new byte[10];
            ushort word = 0;
            Check(Native.ZAV_ReadBlockData(handle, 5, 0, image, 10, ref status) == 1 && image[0] == 5 && image[1] == 1
                  && image[2] == 0x4C && image[3] == 0x1D, "block read fills the buffer: id, torque, goal low byte first");
            Check(Native.ZAV_ReadWordData(handle, 5, 2, ref word, ref status) == 1 && word == 7500, "word read of the goal");
            Check(Native.ZAV_TxPacket(handle, 5, 4, new byte[] { 0x3A, 0x4C }, 2, ref status) == 1, "raw packet sent");
            var reply = new byte[3];
            uint got = 0;
            Check(Native.ZAV_RxPacket(handle, reply, 3, ref got, 5000, ref status) == 1 && got == 3 && reply[0] == 5, "raw reply read");
            double before = Native.GetQueryPerformanceCounter();
            Check(Native.GetQueryPerformanceCounter() >= before && before > 0, "the clock runs");
            Check(Native.ZAV_ClosePort(handle) == 1 && Native.ZAV_ClosePort(IntPtr.Zero) == 0, "close");
        }
    }

    static void Lifecycle()
    {
        {
            var bus = Bus("1");
            var older = new Port(bus);
            using (var newer = Open(bus))
            {
                Check(!older.IsOpen && newer.Ping(1), "opening the same device closes the earlier port");
                Check(Catch(() => new Port(bus, 0)) != null && newer.IsOpen && newer.Ping(1),
                      "an open refused for the rate 0 leaves the open port alone");
                var error = Catch(() => older.Ping(1));
                Check(error != null && error.Flags == Native.ERR_HANDLE, "the earlier port reports ERR_HANDLE");
            }
        }
        using (var port = Open("sim:1"))
        {
            // With echo cancelling off, the echo of the request is taken for the reply.
            var error = Catch(() => port.Ping(1));
            Check(error != null && error.Flags == Native.ERR_REPLY, "the echo switch reaches the library");
        }
    }

    // Holds the finalizer thread until released, so that a Port can be left waiting
    // for its finalizer while the test opens its device again.
    sealed class FinalizerGate
    {
        public static readonly ManualResetEvent Entered = new ManualResetEvent(false);
        public static readonly ManualResetEvent Release = new ManualResetEvent(false);
        ~FinalizerGate() { Entered.Set(); Release.WaitOne(); }
    }

    static void OnOtherThread(ThreadStart action)
    {
        var thread = new Thread(action); // its stack, and any reference on it, ends with it
        thread.Start();
        thread.Join();
    }

    // A Port dropped without Dispose, and collected but not yet finalized, when its
    // device is opened again: the library frees its record in that open and may hand
    // the same memory to the new Port, which the old Port's finalizer must not close.
    static void FinalizedPortLeavesItsSuccessorAlone()
    {
        {
            var bus = Bus("1");
            WeakReference dropped = null;
            Port successor = null;
            try
            {
                OnOtherThread(() => new FinalizerGate());
                GC.Collect();
                Check(FinalizerGate.Entered.WaitOne(30000), "the finalizer thread is held");
                OnOtherThread(() => dropped = new WeakReference(Open(bus)));
                GC.Collect();
                Check(!dropped.IsAlive, "the dropped port is collected and waits for its finalizer");
                OnOtherThread(() => successor = Open(bus));
            }
            finally
            {
                FinalizerGate.Release.Set();
            }
            GC.WaitForPendingFinalizers();
            Check(successor.Active && successor.Ping(1), "the successor still works after the dropped port's finalizer");
            successor.Dispose();
        }
    }

    static int Main()
    {
        Console.WriteLine("library: " + Native.LibraryName);
        Port.EchoCancel = false;
        ScanMoveAndSyncWrite();
        SilentServo();
        BadArguments();
        NativeCalls();
        Lifecycle();
        FinalizedPortLeavesItsSuccessorAlone();
        Console.WriteLine("C# checks: " + passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
