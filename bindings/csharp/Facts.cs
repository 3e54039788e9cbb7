// The bus's facts, in one table for the C# binding: the version, servo ids, the
// values the servos accept, the status flags and what each means, the registers
// and what each holds, and the reply time-outs. Each name is the C header's
// (include/zavlib.h) in C# casing without its ZAV_ prefix (ZAV_GOAL_MIN is
// GoalMin, ERR_TIMEOUT is ErrTimeout), with the header's value; the flags' and
// registers' explanations are the header's comments. scripts/check_facts.py
// compares this file with the header.
using System;
using System.Reflection;

[assembly: AssemblyTitle("Zavlib")]
[assembly: AssemblyDescription("Drive serial-bus servo motors through the zavlib library")]
[assembly: AssemblyVersion(Zavlib.Facts.Version + ".0")]
[assembly: AssemblyFileVersion(Zavlib.Facts.Version + ".0")]

namespace Zavlib
{
    /// <summary>The facts of the servo bus and of the library, as its C header states them.</summary>
    public static class Facts
    {
        /// <summary>The version of the header these facts were taken from, and of this assembly.</summary>
        public const string Version = "1.1.0";
        /// <summary>The version of the header these facts were taken from.</summary>
        public const int VersionMajor = 1;
        /// <summary>The version of the header these facts were taken from.</summary>
        public const int VersionMinor = 1;
        /// <summary>The version of the header these facts were taken from.</summary>
        public const int VersionPatch = 0;

        /// <summary>Servos are ids 0 to IdMax on one line.</summary>
        public const int IdMax = 31;
        /// <summary>The id that addresses every servo (ids 0 to BroadcastLastId, in turn) in a write.</summary>
        public const byte BroadcastId = 254;
        /// <summary>The last id a write to BroadcastId reaches.</summary>
        public const int BroadcastLastId = 30;

        /// <summary>The lowest goal position the servos accept.</summary>
        public const int GoalMin = 3000;
        /// <summary>The highest goal position the servos accept.</summary>
        public const int GoalMax = 12000;
        /// <summary>The middle of the goal range.</summary>
        public const int GoalCenter = 7500;
        /// <summary>The lowest value of the writable parameters Sc1Value and Sc2Value.</summary>
        public const int ParamMin = 1;
        /// <summary>The highest value of the writable parameters Sc1Value and Sc2Value.</summary>
        public const int ParamMax = 127;
        /// <summary>The lowest value Sc3Value can hold.</summary>
        public const int Sc3Min = -63;
        /// <summary>The highest value Sc3Value can hold.</summary>
        public const int Sc3Max = 63;
        /// <summary>The lowest value Sc4Value can hold.</summary>
        public const int Sc4Min = -63;
        /// <summary>The highest value Sc4Value can hold.</summary>
        public const int Sc4Max = 127;

        /// <summary>Command number of a position exchange (bits 5 to 7 of the command byte).</summary>
        public const int CmdPosition = 4;
        /// <summary>Command number of a parameter read.</summary>
        public const int CmdReadParam = 5;
        /// <summary>Command number of a parameter write.</summary>
        public const int CmdWriteParam = 6;
        /// <summary>The command byte is the command number shifted left by this, plus the id.</summary>
        public const int CommandShift = 5;
        /// <summary>Parameter sub-code of Sc1Value.</summary>
        public const int SubcodeSc1 = 1;
        /// <summary>Parameter sub-code of Sc2Value.</summary>
        public const int SubcodeSc2 = 2;
        /// <summary>Parameter sub-code of Sc3Value.</summary>
        public const int SubcodeSc3 = 3;
        /// <summary>Parameter sub-code of Sc4Value.</summary>
        public const int SubcodeSc4 = 4;

        /// <summary>Every reply is this many bytes.</summary>
        public const int ReplyLength = 3;
        /// <summary>At exactly this rate servo 0 answers a position command with Id0AltReply instead of 0.</summary>
        public const int Id0AltReplyBaud = 115200;
        /// <summary>The first reply byte of servo 0 at Id0AltReplyBaud.</summary>
        public const int Id0AltReply = 0x80;
        /// <summary>A parameter read's reply starts with this plus the id.</summary>
        public const int ReadReplyBase = 0x20;
        /// <summary>A parameter write's reply starts with this plus the id.</summary>
        public const int WriteReplyBase = 0x40;

        /// <summary>Sc3Value: the sign bit of the servo's byte (sign and magnitude).</summary>
        public const int Sc3SignBit = 0x40;
        /// <summary>Sc3Value: the magnitude bits of the servo's byte.</summary>
        public const int Sc3MagnitudeMask = 0x3F;
        /// <summary>Sc4Value = (Sc4Origin - v) * Sc4ScaleNum / Sc4ScaleDen + Sc4Offset, truncated.</summary>
        public const int Sc4Origin = 127;
        /// <summary>See Sc4Origin.</summary>
        public const int Sc4ScaleNum = 9;
        /// <summary>See Sc4Origin.</summary>
        public const int Sc4ScaleDen = 11;
        /// <summary>See Sc4Origin.</summary>
        public const double Sc4Offset = 41.55;

        /// <summary>Milliseconds added to every reply time-out after opening.</summary>
        public const int DefaultTimeoutOffsetMs = 20;
        /// <summary>K of the reply time-out (offset + K / baud rate ms) of position exchanges,
        /// parameter writes and sub-code 2 reads.</summary>
        public const int ReplyKLong = 60000;
        /// <summary>K of the reply time-out of sub-code 1, 3 and 4 reads.</summary>
        public const int ReplyKShort = 50000;
        /// <summary>How long the echo of a sent packet is awaited, in ms.</summary>
        public const int EchoTimeoutMs = 50;
        /// <summary>The rate a Port opens at unless told otherwise.</summary>
        public const int DefaultBaud = 115200;
        /// <summary>The library keeps at most this many characters of a port's name.</summary>
        public const int PortNameLength = 30;
        /// <summary>A raw packet carries at most this many data bytes.</summary>
        public const int PacketMaxData = 99;
        /// <summary>A sync-write block starts with the start address and the bytes per servo.</summary>
        public const int SyncHeaderLength = 2;
        /// <summary>The shortest sync-write block.</summary>
        public const int SyncMinLength = 5;
        /// <summary>The longest sync-write block.</summary>
        public const int SyncMaxLength = 93;
        /// <summary>The registers of a servo's image.</summary>
        public const int RegisterCount = 10;

        /// <summary>a register write was refused or a servo write failed</summary>
        public const ushort ErrWrite = 0x0008;
        /// <summary>a reply did not arrive in full within its time-out</summary>
        public const ushort ErrTimeout = 0x0100;
        /// <summary>device not open, write failed, or null receive buffer</summary>
        public const ushort ErrPort = 0x0400;
        /// <summary>reply did not match the request, or zero-length receive</summary>
        public const ushort ErrReply = 0x0800;
        /// <summary>invalid register range, data length or sync-write layout</summary>
        public const ushort ErrAddress = 0x1000;
        /// <summary>servo id above 31 (and not the broadcast id where allowed)</summary>
        public const ushort ErrId = 0x4000;
        /// <summary>null port handle</summary>
        public const ushort ErrHandle = 0x8000;

        /// <summary>The flags of the status word, lowest bit first, by their C names.</summary>
        public static readonly Flag[] Flags =
        {
            new Flag(ErrWrite, "ERR_WRITE"),
            new Flag(ErrTimeout, "ERR_TIMEOUT"),
            new Flag(ErrPort, "ERR_PORT"),
            new Flag(ErrReply, "ERR_REPLY"),
            new Flag(ErrAddress, "ERR_ADDRESS"),
            new Flag(ErrId, "ERR_ID"),
            new Flag(ErrHandle, "ERR_HANDLE"),
        };

        /// <summary>The reply time-out the library applies: offset + k / baud rate ms, both
        /// taken as unsigned 32-bit numbers, truncated; null for a rate of 0, which has none.</summary>
        public static long? ReplyTimeoutMs(int offsetMs, int baudrate, int k = ReplyKLong)
        {
            uint rate = unchecked((uint)baudrate);
            if (rate == 0) return null;
            return Math.Min((long)(unchecked((uint)offsetMs) + (double)k / rate), uint.MaxValue);
        }

        /// <summary>Whether value is a goal position the servos accept.</summary>
        public static bool IsGoal(int value) { return value >= GoalMin && value <= GoalMax; }

        /// <summary>Whether value is a parameter value the servos accept.</summary>
        public static bool IsParameter(int value) { return value >= ParamMin && value <= ParamMax; }
    }

    /// <summary>One flag of the status word and its C name.</summary>
    public struct Flag
    {
        /// <summary>A flag by its bit and C name.</summary>
        public Flag(ushort bit, string name) : this()
        {
            Bit = bit;
            Name = name;
        }

        /// <summary>The flag's bit in the status word.</summary>
        public ushort Bit { get; private set; }
        /// <summary>The C name, e.g. ERR_TIMEOUT.</summary>
        public string Name { get; private set; }
    }

    /// <summary>The ten-byte register image of a servo, by address. GoalPosition and
    /// PresentPosition are two bytes (low first); Sc3Value and Sc4Value are signed.</summary>
    public enum Register : byte
    {
        /// <summary>The servo's id, 0 to 31; reading it asks the servo for its position.</summary>
        Id = 0,
        /// <summary>1 while the servo holds its goal (torque on), 0 once released; writing 1 takes hold where
        /// the servo stands.</summary>
        TorqueEnable = 1,
        /// <summary>Where the servo is sent, in the servo's own position units: 3000 and 12000 are the ends of
        /// the range the servos accept and 7500 its middle; the angle of one unit depends on the servo, not on
        /// the bus. 0 while released.</summary>
        GoalPosition = 2,
        /// <summary>Writable parameter of sub-code 2, 1 to 127; what it sets depends on the servo.</summary>
        Sc2Value = 4,
        /// <summary>Writable parameter of sub-code 1, 1 to 127; what it sets depends on the servo.</summary>
        Sc1Value = 5,
        /// <summary>Where the servo said it stood in its reply to the last position exchange, in the units of
        /// the goal.</summary>
        PresentPosition = 6,
        /// <summary>Reading of sub-code 3, -63 to 63 (the servo sends sign and magnitude); what it measures
        /// depends on the servo.</summary>
        Sc3Value = 8,
        /// <summary>Reading of sub-code 4, -63 to 127, converted from the servo's byte v as
        /// (127 - v) * 9 / 11 + 41.55, truncated; what it measures depends on the servo.</summary>
        Sc4Value = 9,
    }
}
