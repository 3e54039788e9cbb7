// The library's 17 functions under their C names, marshalled exactly as the C header
// declares them: one-byte results as byte, the status word as ref ushort, buffers as
// byte[], the port handle as IntPtr.
//
// The library file differs by platform: zavlib_x64.dll (64-bit Windows), zavlib_x32.dll
// (32-bit Windows, stdcall) and libzavlib.so.1 elsewhere ("zavlib", mapped by
// Zavlib.dll.config under Mono). A DllImport names one file, so each file has its own
// declaration set below and every public method calls the set chosen once at start-up.
// This works on .NET Framework, Mono and .NET alike, with no loader of our own.
using System;
using System.Runtime.InteropServices;

namespace Zavlib
{
    /// <summary>P/Invoke access to every exported function of the zavlib library.</summary>
    public static class Native
    {
        // The C names of the flags and the broadcast id (their table is Facts).
        /// <summary>The C header's ERR_WRITE: Facts.ErrWrite.</summary>
        public const ushort ERR_WRITE = Facts.ErrWrite;
        /// <summary>The C header's ERR_TIMEOUT: Facts.ErrTimeout.</summary>
        public const ushort ERR_TIMEOUT = Facts.ErrTimeout;
        /// <summary>The C header's ERR_PORT: Facts.ErrPort.</summary>
        public const ushort ERR_PORT = Facts.ErrPort;
        /// <summary>The C header's ERR_REPLY: Facts.ErrReply.</summary>
        public const ushort ERR_REPLY = Facts.ErrReply;
        /// <summary>The C header's ERR_ADDRESS: Facts.ErrAddress.</summary>
        public const ushort ERR_ADDRESS = Facts.ErrAddress;
        /// <summary>The C header's ERR_ID: Facts.ErrId.</summary>
        public const ushort ERR_ID = Facts.ErrId;
        /// <summary>The C header's ERR_HANDLE: Facts.ErrHandle.</summary>
        public const ushort ERR_HANDLE = Facts.ErrHandle;
        /// <summary>The C header's BROADCAST_ID: Facts.BroadcastId.</summary>
        public const byte BROADCAST_ID = Facts.BroadcastId;

        static readonly bool Windows32 = Environment.OSVersion.Platform == PlatformID.Win32NT && IntPtr.Size == 4;
        static readonly bool Windows64 = Environment.OSVersion.Platform == PlatformID.Win32NT && IntPtr.Size == 8;

        /// <summary>The file name of the library this process loads.</summary>
        public static string LibraryName
        {
            get { return Windows32 ? X32.Library : Windows64 ? X64.Library : Unix.Library; }
        }

        /// <summary>Opens a serial port by device name ("COM3", "/dev/ttyUSB0") at a baud rate; IntPtr.Zero when it cannot.</summary>
        public static IntPtr ZAV_OpenPort(string name, int baudrate)
        {
            return Windows32 ? X32.ZAV_OpenPort(name, baudrate)
                 : Windows64 ? X64.ZAV_OpenPort(name, baudrate) : Unix.ZAV_OpenPort(name, baudrate);
        }

        /// <summary>Closes a port; 0 when the handle was not open.</summary>
        public static byte ZAV_ClosePort(IntPtr handle)
        {
            return Windows32 ? X32.ZAV_ClosePort(handle) : Windows64 ? X64.ZAV_ClosePort(handle) : Unix.ZAV_ClosePort(handle);
        }

        /// <summary>1 while the device answers a query of its line settings.</summary>
        public static byte ZAV_Active(IntPtr handle)
        {
            return Windows32 ? X32.ZAV_Active(handle) : Windows64 ? X64.ZAV_Active(handle) : Unix.ZAV_Active(handle);
        }

        /// <summary>Changes the baud rate; the reply time-outs follow it even when the device refuses it.</summary>
        public static byte ZAV_SetBaudrate(IntPtr handle, int baudrate)
        {
            return Windows32 ? X32.ZAV_SetBaudrate(handle, baudrate)
                 : Windows64 ? X64.ZAV_SetBaudrate(handle, baudrate) : Unix.ZAV_SetBaudrate(handle, baudrate);
        }

        /// <summary>Sets the milliseconds added to every reply time-out of the port.</summary>
        public static void ZAV_SetTimeOutOffset(IntPtr handle, int offsetMs)
        {
            if (Windows32) X32.ZAV_SetTimeOutOffset(handle, offsetMs);
            else if (Windows64) X64.ZAV_SetTimeOutOffset(handle, offsetMs);
            else Unix.ZAV_SetTimeOutOffset(handle, offsetMs);
        }

        /// <summary>Only the low byte of enable is stored: 256 turns echo cancellation off.</summary>
        public static void ZAV_SetEchoCancel(uint enable)
        {
            if (Windows32) X32.ZAV_SetEchoCancel(enable);
            else if (Windows64) X64.ZAV_SetEchoCancel(enable);
            else Unix.ZAV_SetEchoCancel(enable);
        }

        /// <summary>Milliseconds since an arbitrary origin, from the high-resolution counter.</summary>
        public static double GetQueryPerformanceCounter()
        {
            return Windows32 ? X32.GetQueryPerformanceCounter()
                 : Windows64 ? X64.GetQueryPerformanceCounter() : Unix.GetQueryPerformanceCounter();
        }

        /// <summary>Sends one raw packet: the command number and id in the first byte, then the data.</summary>
        public static byte ZAV_TxPacket(IntPtr handle, uint id, int command, byte[] data, uint length, ref ushort status)
        {
            return Windows32 ? X32.ZAV_TxPacket(handle, id, command, data, length, ref status)
                 : Windows64 ? X64.ZAV_TxPacket(handle, id, command, data, length, ref status)
                 : Unix.ZAV_TxPacket(handle, id, command, data, length, ref status);
        }

        /// <summary>Receives exactly count raw bytes within timeoutMs; got receives how many arrived.</summary>
        public static byte ZAV_RxPacket(IntPtr handle, byte[] buffer, uint count, ref uint got, uint timeoutMs, ref ushort status)
        {
            return Windows32 ? X32.ZAV_RxPacket(handle, buffer, count, ref got, timeoutMs, ref status)
                 : Windows64 ? X64.ZAV_RxPacket(handle, buffer, count, ref got, timeoutMs, ref status)
                 : Unix.ZAV_RxPacket(handle, buffer, count, ref got, timeoutMs, ref status);
        }

        /// <summary>Whether servo id answers a position exchange (1), with the reason in status when not.</summary>
        public static byte ZAV_Ping(IntPtr handle, byte id, ref ushort status)
        {
            return Windows32 ? X32.ZAV_Ping(handle, id, ref status)
                 : Windows64 ? X64.ZAV_Ping(handle, id, ref status) : Unix.ZAV_Ping(handle, id, ref status);
        }

        /// <summary>Reads length registers of servo id from address into data, refreshed from the servo.</summary>
        public static byte ZAV_ReadBlockData(IntPtr handle, byte id, byte address, byte[] data, uint length, ref ushort status)
        {
            return Windows32 ? X32.ZAV_ReadBlockData(handle, id, address, data, length, ref status)
                 : Windows64 ? X64.ZAV_ReadBlockData(handle, id, address, data, length, ref status)
                 : Unix.ZAV_ReadBlockData(handle, id, address, data, length, ref status);
        }

        /// <summary>Reads a two-byte register (goal or present position) of servo id.</summary>
        public static byte ZAV_ReadWordData(IntPtr handle, byte id, byte address, ref ushort value, ref ushort status)
        {
            return Windows32 ? X32.ZAV_ReadWordData(handle, id, address, ref value, ref status)
                 : Windows64 ? X64.ZAV_ReadWordData(handle, id, address, ref value, ref status)
                 : Unix.ZAV_ReadWordData(handle, id, address, ref value, ref status);
        }

        /// <summary>Reads a one-byte register of servo id.</summary>
        public static byte ZAV_ReadByteData(IntPtr handle, byte id, byte address, ref byte value, ref ushort status)
        {
            return Windows32 ? X32.ZAV_ReadByteData(handle, id, address, ref value, ref status)
                 : Windows64 ? X64.ZAV_ReadByteData(handle, id, address, ref value, ref status)
                 : Unix.ZAV_ReadByteData(handle, id, address, ref value, ref status);
        }

        /// <summary>id 0 to 31, or BROADCAST_ID for ids 0 to 30 in turn.</summary>
        public static byte ZAV_WriteBlockData(IntPtr handle, byte id, byte address, byte[] data, uint length, ref ushort status)
        {
            return Windows32 ? X32.ZAV_WriteBlockData(handle, id, address, data, length, ref status)
                 : Windows64 ? X64.ZAV_WriteBlockData(handle, id, address, data, length, ref status)
                 : Unix.ZAV_WriteBlockData(handle, id, address, data, length, ref status);
        }

        /// <summary>Writes a two-byte register (the goal position) of servo id, or of every servo with BROADCAST_ID.</summary>
        public static byte ZAV_WriteWordData(IntPtr handle, byte id, byte address, ushort value, ref ushort status)
        {
            return Windows32 ? X32.ZAV_WriteWordData(handle, id, address, value, ref status)
                 : Windows64 ? X64.ZAV_WriteWordData(handle, id, address, value, ref status)
                 : Unix.ZAV_WriteWordData(handle, id, address, value, ref status);
        }

        /// <summary>Writes a one-byte register of servo id, or of every servo with BROADCAST_ID.</summary>
        public static byte ZAV_WriteByteData(IntPtr handle, byte id, byte address, byte value, ref ushort status)
        {
            return Windows32 ? X32.ZAV_WriteByteData(handle, id, address, value, ref status)
                 : Windows64 ? X64.ZAV_WriteByteData(handle, id, address, value, ref status)
                 : Unix.ZAV_WriteByteData(handle, id, address, value, ref status);
        }

        /// <summary>Block: start address, bytes per servo n, then records of an id and n bytes.</summary>
        public static byte ZAV_WriteSyncData(IntPtr handle, byte[] data, uint length, ref ushort status)
        {
            return Windows32 ? X32.ZAV_WriteSyncData(handle, data, length, ref status)
                 : Windows64 ? X64.ZAV_WriteSyncData(handle, data, length, ref status)
                 : Unix.ZAV_WriteSyncData(handle, data, length, ref status);
        }

        // 32-bit Windows: stdcall, as the DLL exports it.
        static class X32
        {
            public const string Library = "zavlib_x32.dll";
            const CallingConvention Convention = CallingConvention.StdCall;
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern IntPtr ZAV_OpenPort([MarshalAs(UnmanagedType.LPStr)] string name, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ClosePort(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Active(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_SetBaudrate(IntPtr handle, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetTimeOutOffset(IntPtr handle, int offsetMs);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetEchoCancel(uint enable);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern double GetQueryPerformanceCounter();
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_TxPacket(IntPtr handle, uint id, int command, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_RxPacket(IntPtr handle, [Out] byte[] buffer, uint count, ref uint got, uint timeoutMs, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Ping(IntPtr handle, byte id, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadBlockData(IntPtr handle, byte id, byte address, [Out] byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadWordData(IntPtr handle, byte id, byte address, ref ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadByteData(IntPtr handle, byte id, byte address, ref byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteBlockData(IntPtr handle, byte id, byte address, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteWordData(IntPtr handle, byte id, byte address, ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteByteData(IntPtr handle, byte id, byte address, byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteSyncData(IntPtr handle, byte[] data, uint length, ref ushort status);
        }

        // 64-bit Windows: the platform's one calling convention.
        static class X64
        {
            public const string Library = "zavlib_x64.dll";
            const CallingConvention Convention = CallingConvention.Cdecl;
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern IntPtr ZAV_OpenPort([MarshalAs(UnmanagedType.LPStr)] string name, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ClosePort(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Active(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_SetBaudrate(IntPtr handle, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetTimeOutOffset(IntPtr handle, int offsetMs);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetEchoCancel(uint enable);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern double GetQueryPerformanceCounter();
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_TxPacket(IntPtr handle, uint id, int command, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_RxPacket(IntPtr handle, [Out] byte[] buffer, uint count, ref uint got, uint timeoutMs, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Ping(IntPtr handle, byte id, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadBlockData(IntPtr handle, byte id, byte address, [Out] byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadWordData(IntPtr handle, byte id, byte address, ref ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadByteData(IntPtr handle, byte id, byte address, ref byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteBlockData(IntPtr handle, byte id, byte address, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteWordData(IntPtr handle, byte id, byte address, ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteByteData(IntPtr handle, byte id, byte address, byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteSyncData(IntPtr handle, byte[] data, uint length, ref ushort status);
        }

        // Linux and other systems: libzavlib.so.1 through Zavlib.dll.config under Mono;
        // .NET finds libzavlib.so.
        static class Unix
        {
            public const string Library = "zavlib";
            const CallingConvention Convention = CallingConvention.Cdecl;
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern IntPtr ZAV_OpenPort([MarshalAs(UnmanagedType.LPStr)] string name, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ClosePort(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Active(IntPtr handle);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_SetBaudrate(IntPtr handle, int baudrate);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetTimeOutOffset(IntPtr handle, int offsetMs);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern void ZAV_SetEchoCancel(uint enable);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern double GetQueryPerformanceCounter();
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_TxPacket(IntPtr handle, uint id, int command, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_RxPacket(IntPtr handle, [Out] byte[] buffer, uint count, ref uint got, uint timeoutMs, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_Ping(IntPtr handle, byte id, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadBlockData(IntPtr handle, byte id, byte address, [Out] byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadWordData(IntPtr handle, byte id, byte address, ref ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_ReadByteData(IntPtr handle, byte id, byte address, ref byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteBlockData(IntPtr handle, byte id, byte address, byte[] data, uint length, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteWordData(IntPtr handle, byte id, byte address, ushort value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteByteData(IntPtr handle, byte id, byte address, byte value, ref ushort status);
            [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)] public static extern byte ZAV_WriteSyncData(IntPtr handle, byte[] data, uint length, ref ushort status);
        }
    }
}
