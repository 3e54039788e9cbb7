// An idiomatic skin over Native: a Port that opens on construction and closes on
// Dispose, integer registers, and a ZavException for every failure.
using System;
using System.Collections.Generic;
using System.Text;

namespace Zavlib
{
    /// <summary>A library call failed. Flags is the status word (0 where the call reports
    /// none); Partial is true when the library carried out part of the request before a
    /// servo failed (a broadcast or sync write stops at the first failing servo).</summary>
    public sealed class ZavException : Exception
    {
        /// <summary>A failure of call, with the status word's flags, the servo concerned (if one)
        /// and whether part of the request was carried out.</summary>
        public ZavException(string message, ushort flags, int? servoId, string call, bool partial)
            : base(message)
        {
            Flags = flags;
            ServoId = servoId;
            Call = call;
            Partial = partial;
            FlagNames = NamesOf(flags);
        }

        /// <summary>The library's status word (0 where the call reports none).</summary>
        public ushort Flags { get; private set; }
        /// <summary>The flags of Flags by their C names, e.g. ERR_TIMEOUT.</summary>
        public string[] FlagNames { get; private set; }
        /// <summary>The servo the call addressed, or null.</summary>
        public int? ServoId { get; private set; }
        /// <summary>The call as it was made.</summary>
        public string Call { get; private set; }
        /// <summary>True when the library wrote part of the request before a servo failed.</summary>
        public bool Partial { get; private set; }

        /// <summary>The names of the flags set in a status word, lowest bit first.</summary>
        public static string[] NamesOf(ushort flags)
        {
            var names = new List<string>();
            foreach (var flag in Facts.Flags)
                if ((flags & flag.Bit) != 0) names.Add(flag.Name);
            return names.ToArray();
        }
    }

    /// <summary>A serial port with servos on it. A new Port starts with every servo marked
    /// released, and its first position exchange (a ping, or a read of PresentPosition)
    /// releases a servo another program left holding torque. A goal sent to a released
    /// servo is dropped: take hold first (TorqueEnable 1, or Move). Opening a device that is
    /// already open in this process closes the earlier Port.</summary>
    public sealed class Port : IDisposable
    {
        static readonly Dictionary<string, WeakReference> OpenPorts = new Dictionary<string, WeakReference>();
        static bool echoCancel = true;

        IntPtr handle;
        int timeOutOffset = Facts.DefaultTimeoutOffsetMs;

        /// <summary>Opens device ("COM3", "/dev/ttyUSB0") at baudrate; ZavException when it cannot.</summary>
        public Port(string device, int baudrate = Facts.DefaultBaud)
        {
            if (device == null) throw new ArgumentNullException("device");
            Device = device;
            Baudrate = baudrate;
            lock (OpenPorts)
            {
                WeakReference earlier;
                // The library closes the earlier port in this open, unless it refuses the rate 0 first.
                if (baudrate != 0 && Encoding.UTF8.GetByteCount(device) <= Facts.PortNameLength
                    && OpenPorts.TryGetValue(device, out earlier))
                {
                    var port = earlier.Target as Port;
                    if (port != null) port.handle = IntPtr.Zero;
                }
                handle = Native.ZAV_OpenPort(device, baudrate);
                if (handle == IntPtr.Zero)
                {
                    string call = string.Format("new Port(\"{0}\", {1})", device, baudrate);
                    string reason = baudrate == 0 ? "the baud rate must not be 0"
                        : "no such device, or it is held by another program, or it is not a serial port";
                    throw new ZavException(call + " failed: cannot open " + device + ": " + reason, 0, null, call, false);
                }
                // Tracks resurrection: a Port awaiting its finalizer must still be found
                // here, or its finalizer would close a record that the library has freed
                // (and may have handed out again, to the Port that replaced it).
                OpenPorts[device] = new WeakReference(this, true);
            }
        }

        /// <summary>Closes the port if it is still open.</summary>
        ~Port()
        {
            Close();
        }

        /// <summary>The device name given when opening.</summary>
        public string Device { get; private set; }
        /// <summary>The line's baud rate.</summary>
        public int Baudrate { get; private set; }
        /// <summary>False once closed (by Close, Dispose, or another Port of the same device).</summary>
        public bool IsOpen { get { return handle != IntPtr.Zero; } }

        /// <summary>Whether the device still answers a query of its line settings.</summary>
        public bool Active { get { return IsOpen && Native.ZAV_Active(handle) != 0; } }

        /// <summary>Milliseconds added to every reply time-out (Facts.DefaultTimeoutOffsetMs after opening).</summary>
        public int TimeOutOffset
        {
            get { return timeOutOffset; }
            set
            {
                if (!IsOpen) throw Failure("TimeOutOffset = " + value, Native.ERR_HANDLE, null, false);
                Native.ZAV_SetTimeOutOffset(handle, value);
                timeOutOffset = value;
            }
        }

        /// <summary>Whether each sent packet's echo is read back and discarded (on by default).
        /// One switch for the whole process: it applies to every port.</summary>
        public static bool EchoCancel
        {
            get { return echoCancel; }
            set
            {
                Native.ZAV_SetEchoCancel(value ? 1u : 0u);
                echoCancel = value;
            }
        }

        /// <summary>Milliseconds since an arbitrary origin, from the high-resolution counter.</summary>
        public static double Clock() { return Native.GetQueryPerformanceCounter(); }

        /// <summary>Changes the baud rate; the reply time-outs follow it even if the device refuses it.</summary>
        public void SetBaudrate(int baudrate)
        {
            bool accepted = Native.ZAV_SetBaudrate(handle, baudrate) != 0;
            if (IsOpen && baudrate != 0) Baudrate = baudrate;
            if (!accepted)
                throw new ZavException("SetBaudrate(" + baudrate + ") failed: the rate was refused or the port is closed",
                                       0, null, "SetBaudrate", false);
        }

        /// <summary>Closes the port; closing a closed port does nothing.</summary>
        public void Close()
        {
            lock (OpenPorts)
            {
                if (handle == IntPtr.Zero) return;
                Native.ZAV_ClosePort(handle);
                handle = IntPtr.Zero;
                WeakReference entry;
                if (OpenPorts.TryGetValue(Device, out entry) && entry.Target == this) OpenPorts.Remove(Device);
            }
        }

        /// <summary>Closes the port.</summary>
        public void Dispose()
        {
            Close();
            GC.SuppressFinalize(this);
        }

        /// <summary>Whether servo id answers; false when it does not answer in time.</summary>
        public bool Ping(int id)
        {
            string call = "Ping(" + id + ")";
            byte target = Fit8(id, Native.ERR_ID, call, id);
            ushort status = 0;
            byte ok = Native.ZAV_Ping(handle, target, ref status);
            if (ok == 0 && status == Native.ERR_TIMEOUT) return false;
            Check(ok, status, call, id);
            return true;
        }

        /// <summary>The ids 0 to 31 that answer a ping.</summary>
        public int[] Scan()
        {
            var found = new List<int>();
            for (int id = 0; id <= Facts.IdMax; ++id)
                if (Ping(id)) found.Add(id);
            return found.ToArray();
        }

        /// <summary>The value of a register of servo id (signed for Sc3Value and Sc4Value). A read of
        /// PresentPosition or Id asks the servo; GoalPosition and TorqueEnable come from the library's image.</summary>
        public int Read(int id, Register register)
        {
            string call = "Read(" + id + ", " + register + ")";
            byte target = Fit8(id, Native.ERR_ID, call, id);
            ushort status = 0;
            if (IsWord(register))
            {
                ushort word = 0;
                Check(Native.ZAV_ReadWordData(handle, target, (byte)register, ref word, ref status), status, call, id);
                return word;
            }
            byte value = 0;
            Check(Native.ZAV_ReadByteData(handle, target, (byte)register, ref value, ref status), status, call, id);
            return register == Register.Sc3Value || register == Register.Sc4Value ? (int)(sbyte)value : value;
        }

        /// <summary>Writes a register of servo id, or of every servo with BROADCAST_ID.</summary>
        public void Write(int id, Register register, int value)
        {
            string call = "Write(" + id + ", " + register + ", " + value + ")";
            byte target = Fit8(id, Native.ERR_ID, call, id);
            ushort status = 0;
            byte ok = IsWord(register)
                ? Native.ZAV_WriteWordData(handle, target, (byte)register, Fit16(value, call, id), ref status)
                : Native.ZAV_WriteByteData(handle, target, (byte)register, Fit8(value, Native.ERR_WRITE, call, id), ref status);
            Check(ok, status, call, id);
        }

        /// <summary>Takes hold of servo id and sends it a goal position, in one write.</summary>
        public void Move(int id, int goal)
        {
            string call = "Move(" + id + ", " + goal + ")";
            byte target = Fit8(id, Native.ERR_ID, call, id);
            ushort position = Fit16(goal, call, id);
            var block = new byte[] { 1, (byte)(position & 0xFF), (byte)(position >> 8) }; // torque on, then the goal
            ushort status = 0;
            Check(Native.ZAV_WriteBlockData(handle, target, (byte)Register.TorqueEnable, block, 3, ref status), status, call, id);
        }

        /// <summary>Writes one two-byte register of up to 30 servos in one call, in order; the
        /// library stops at the first servo that fails (ZavException with Partial true).</summary>
        public void SyncWrite(Register register, IEnumerable<KeyValuePair<int, int>> values)
        {
            string call = "SyncWrite(" + register + ", ...)";
            int width = IsWord(register) ? 2 : 1;
            var block = new List<byte> { (byte)register, (byte)width };
            foreach (var pair in values)
            {
                block.Add(Fit8(pair.Key, Native.ERR_ID, call, pair.Key));
                if (width == 2)
                {
                    ushort value = Fit16(pair.Value, call, pair.Key);
                    block.Add((byte)(value & 0xFF));
                    block.Add((byte)(value >> 8));
                }
                else
                {
                    block.Add(Fit8(pair.Value, Native.ERR_WRITE, call, pair.Key));
                }
            }
            ushort status = 0;
            Check(Native.ZAV_WriteSyncData(handle, block.ToArray(), (uint)block.Count, ref status), status, call, null);
        }

        /// <summary>Sends one raw packet: command number and id in the first byte, then data.</summary>
        public void Tx(int id, int command, byte[] data)
        {
            string call = "Tx(" + id + ", " + command + ")";
            data = data ?? new byte[0];
            ushort status = 0;
            Check(Native.ZAV_TxPacket(handle, (uint)id, command, data, (uint)data.Length, ref status), status, call, id & 0xFF);
        }

        /// <summary>Receives exactly count raw bytes within timeoutMs.</summary>
        public byte[] Rx(int count, int timeoutMs)
        {
            string call = "Rx(" + count + ", " + timeoutMs + ")";
            if (count < 0 || timeoutMs < 0) throw Failure(call, 0, null, false);
            var buffer = new byte[count];
            uint got = 0;
            ushort status = 0;
            Check(Native.ZAV_RxPacket(handle, buffer, (uint)count, ref got, (uint)timeoutMs, ref status), status, call, null);
            return buffer;
        }

        static bool IsWord(Register register)
        {
            return register == Register.GoalPosition || register == Register.PresentPosition;
        }

        // Values the C argument cannot hold fail as the library fails for that argument,
        // instead of being truncated into another servo or value.
        static byte Fit8(int value, ushort flag, string call, int? servo)
        {
            if (value < 0 || value > 255) throw Failure(call, flag, servo, false);
            return (byte)value;
        }

        static ushort Fit16(int value, string call, int? servo)
        {
            if (value < 0 || value > 65535) throw Failure(call, Native.ERR_WRITE, servo, false);
            return (ushort)value;
        }

        // A call succeeds only with a true result and an empty status word: a true result
        // with flags left is a partial failure (a broadcast or sync write that stopped).
        void Check(byte ok, ushort status, string call, int? servo)
        {
            if (ok != 0 && status == 0) return;
            throw Failure(call, status, servo, ok != 0);
        }

        static ZavException Failure(string call, ushort flags, int? servo, bool partial)
        {
            var text = new StringBuilder(call + " failed: ");
            if ((flags & Native.ERR_HANDLE) != 0) text.Append("the port is closed; ");
            if ((flags & Native.ERR_ID) != 0)
                text.Append("servo ids are 0 to " + Facts.IdMax + " (" + Facts.BroadcastId + " addresses all in a write); ");
            if ((flags & Native.ERR_ADDRESS) != 0) text.Append("the register range or the data is not valid; ");
            if ((flags & Native.ERR_PORT) != 0) text.Append("the port could not be written to; ");
            if ((flags & Native.ERR_TIMEOUT) != 0) text.Append("no reply" + (servo.HasValue ? " from servo " + servo : "") + " in time; ");
            if ((flags & Native.ERR_REPLY) != 0) text.Append("the reply did not match the request; ");
            if ((flags & Native.ERR_WRITE) != 0) text.Append("the write was refused or not confirmed; ");
            if (flags == 0) text.Append("an argument is out of range; ");
            if (partial) text.Append("what came before the failure was written; ");
            text.Length -= 2;
            text.Append(" [" + string.Join(" | ", ZavException.NamesOf(flags)) + "]");
            return new ZavException(text.ToString(), flags, servo, call, partial);
        }
    }
}
