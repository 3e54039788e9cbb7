Attribute VB_Name = "zavlib"
' zavlib for VBA (Office 2010 and later, 32- and 64-bit) and VB6.
'
' Put zavlib_x64.dll (64-bit Office) or zavlib_x32.dll (32-bit Office, VB6) in a folder
' on PATH, or next to the workbook and ChDir there before the first call.
'
' Types: every function returns a one-byte result (1 success, 0 failure) As Byte, not
' Boolean. The status word is an unsigned 16-bit number, here an Integer passed ByRef:
' ERR_HANDLE reads as -32768. Word values above 32767 read as negative; add 65536.
' Buffers are passed as their first element: ZAV_ReadBlockData(port, 1, 0, image(0), 10, status).
' A goal position sent to a released servo is dropped: write ZAV_REG_TORQUE_ENABLE = 1 first.
Option Explicit

' The bus's facts: the C header's names and values (include/zavlib.h), the flags' and
' registers' explanations its comments. scripts/check_facts.py compares them with the header.
Public Const ZAVLIB_VERSION_MAJOR As Integer = 1
Public Const ZAVLIB_VERSION_MINOR As Integer = 1
Public Const ZAVLIB_VERSION_PATCH As Integer = 0

Public Const ERR_WRITE As Integer = &H8      ' a register write was refused or a servo write failed
Public Const ERR_TIMEOUT As Integer = &H100  ' a reply did not arrive in full within its time-out
Public Const ERR_PORT As Integer = &H400     ' device not open, write failed, or null receive buffer
Public Const ERR_REPLY As Integer = &H800    ' reply did not match the request, or zero-length receive
Public Const ERR_ADDRESS As Integer = &H1000 ' invalid register range, data length or sync-write layout
Public Const ERR_ID As Integer = &H4000      ' servo id above 31 (and not the broadcast id where allowed)
Public Const ERR_HANDLE As Integer = &H8000  ' null port handle

' Servo ids 0 to ZAV_ID_MAX; a write to BROADCAST_ID goes to ids 0 to ZAV_BROADCAST_LAST_ID in turn.
Public Const ZAV_ID_MAX As Byte = 31
Public Const BROADCAST_ID As Byte = 254
Public Const ZAV_BROADCAST_LAST_ID As Byte = 30

' Values the servos accept, and what the readings can hold, inclusive.
Public Const ZAV_GOAL_MIN As Long = 3000
Public Const ZAV_GOAL_MAX As Long = 12000
Public Const ZAV_GOAL_CENTER As Long = 7500
Public Const ZAV_PARAM_MIN As Byte = 1
Public Const ZAV_PARAM_MAX As Byte = 127
Public Const ZAV_SC3_MIN As Integer = -63
Public Const ZAV_SC3_MAX As Integer = 63
Public Const ZAV_SC4_MIN As Integer = -63
Public Const ZAV_SC4_MAX As Integer = 127

' Commands (bits 5 to 7 of the command byte) and parameter sub-codes.
Public Const CMD_POSITION As Long = 4
Public Const CMD_READ_PARAM As Long = 5
Public Const CMD_WRITE_PARAM As Long = 6
Public Const ZAV_COMMAND_SHIFT As Integer = 5
Public Const ZAV_SUBCODE_SC1 As Byte = 1
Public Const ZAV_SUBCODE_SC2 As Byte = 2
Public Const ZAV_SUBCODE_SC3 As Byte = 3
Public Const ZAV_SUBCODE_SC4 As Byte = 4

' Replies: three bytes, the first the id (servo 0 at exactly ZAV_ID0_ALT_REPLY_BAUD:
' ZAV_ID0_ALT_REPLY), ZAV_READ_REPLY_BASE + id or ZAV_WRITE_REPLY_BASE + id.
Public Const ZAV_REPLY_LENGTH As Long = 3
Public Const ZAV_ID0_ALT_REPLY_BAUD As Long = 115200
Public Const ZAV_ID0_ALT_REPLY As Byte = &H80
Public Const ZAV_READ_REPLY_BASE As Byte = &H20
Public Const ZAV_WRITE_REPLY_BASE As Byte = &H40

' sc3_value: sign and magnitude; sc4_value: (ORIGIN - v) * SCALE_NUM / SCALE_DEN + OFFSET, truncated.
Public Const ZAV_SC3_SIGN_BIT As Byte = &H40
Public Const ZAV_SC3_MAGNITUDE_MASK As Byte = &H3F
Public Const ZAV_SC4_ORIGIN As Integer = 127
Public Const ZAV_SC4_SCALE_NUM As Integer = 9
Public Const ZAV_SC4_SCALE_DEN As Integer = 11
Public Const ZAV_SC4_OFFSET As Double = 41.55

' Time-outs in ms: a reply may take the offset plus K / baud rate (ZAV_REPLY_K_LONG for position
' exchanges, parameter writes and sub-code 2 reads; ZAV_REPLY_K_SHORT for sub-code 1, 3, 4 reads).
Public Const ZAV_DEFAULT_TIMEOUT_OFFSET_MS As Long = 20
Public Const ZAV_REPLY_K_LONG As Long = 60000
Public Const ZAV_REPLY_K_SHORT As Long = 50000
Public Const ZAV_ECHO_TIMEOUT_MS As Long = 50
Public Const ZAV_DEFAULT_BAUD As Long = 115200
Public Const ZAV_PORT_NAME_LENGTH As Long = 30
Public Const ZAV_PACKET_MAX_DATA As Long = 99
Public Const ZAV_SYNC_HEADER_LENGTH As Long = 2
Public Const ZAV_SYNC_MIN_LENGTH As Long = 5
Public Const ZAV_SYNC_MAX_LENGTH As Long = 93

' Register addresses, and what each holds as far as the bus defines it.

' The servo's id, 0 to 31; reading it asks the servo for its position.
Public Const ZAV_REG_ID As Byte = 0
' 1 while the servo holds its goal (torque on), 0 once released; writing 1 takes hold where
' the servo stands.
Public Const ZAV_REG_TORQUE_ENABLE As Byte = 1
' Where the servo is sent, in the servo's own position units: 3000 and 12000 are the ends of
' the range the servos accept and 7500 its middle; the angle of one unit depends on the servo,
' not on the bus. 0 while released.
Public Const ZAV_REG_GOAL_POSITION As Byte = 2
' Writable parameter of sub-code 2, 1 to 127; what it sets depends on the servo.
Public Const ZAV_REG_SC2_VALUE As Byte = 4
' Writable parameter of sub-code 1, 1 to 127; what it sets depends on the servo.
Public Const ZAV_REG_SC1_VALUE As Byte = 5
' Where the servo said it stood in its reply to the last position exchange, in the units of
' the goal.
Public Const ZAV_REG_PRESENT_POSITION As Byte = 6
' Reading of sub-code 3, -63 to 63 (the servo sends sign and magnitude); what it measures
' depends on the servo.
Public Const ZAV_REG_SC3_VALUE As Byte = 8
' Reading of sub-code 4, -63 to 127, converted from the servo's byte v as
' (127 - v) * 9 / 11 + 41.55, truncated; what it measures depends on the servo.
Public Const ZAV_REG_SC4_VALUE As Byte = 9
Public Const ZAV_REGISTER_COUNT As Byte = 10

#If Win64 Then
    ' 64-bit Office: the 64-bit DLL, pointer-sized handle.
    Public Declare PtrSafe Function ZAV_OpenPort Lib "zavlib_x64.dll" (ByVal name As String, ByVal baudrate As Long) As LongPtr
    Public Declare PtrSafe Function ZAV_ClosePort Lib "zavlib_x64.dll" (ByVal handle As LongPtr) As Byte
    Public Declare PtrSafe Function ZAV_Active Lib "zavlib_x64.dll" (ByVal handle As LongPtr) As Byte
    Public Declare PtrSafe Function ZAV_SetBaudrate Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal baudrate As Long) As Byte
    Public Declare PtrSafe Sub ZAV_SetTimeOutOffset Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal offsetMs As Long)
    Public Declare PtrSafe Sub ZAV_SetEchoCancel Lib "zavlib_x64.dll" (ByVal enable As Long)
    Public Declare PtrSafe Function GetQueryPerformanceCounter Lib "zavlib_x64.dll" () As Double
    Public Declare PtrSafe Function ZAV_TxPacket Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Long, ByVal command As Long, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_RxPacket Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByRef buffer As Byte, ByVal count As Long, ByRef got As Long, ByVal timeoutMs As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_Ping Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadBlockData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadWordData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef value As Integer, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadByteData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef value As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteBlockData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteWordData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByVal value As Integer, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteByteData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByVal value As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteSyncData Lib "zavlib_x64.dll" (ByVal handle As LongPtr, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
#ElseIf VBA7 Then
    ' 32-bit Office 2010 and later: the 32-bit DLL, whose functions are stdcall as Declare expects.
    Public Declare PtrSafe Function ZAV_OpenPort Lib "zavlib_x32.dll" (ByVal name As String, ByVal baudrate As Long) As LongPtr
    Public Declare PtrSafe Function ZAV_ClosePort Lib "zavlib_x32.dll" (ByVal handle As LongPtr) As Byte
    Public Declare PtrSafe Function ZAV_Active Lib "zavlib_x32.dll" (ByVal handle As LongPtr) As Byte
    Public Declare PtrSafe Function ZAV_SetBaudrate Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal baudrate As Long) As Byte
    Public Declare PtrSafe Sub ZAV_SetTimeOutOffset Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal offsetMs As Long)
    Public Declare PtrSafe Sub ZAV_SetEchoCancel Lib "zavlib_x32.dll" (ByVal enable As Long)
    Public Declare PtrSafe Function GetQueryPerformanceCounter Lib "zavlib_x32.dll" () As Double
    Public Declare PtrSafe Function ZAV_TxPacket Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Long, ByVal command As Long, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_RxPacket Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByRef buffer As Byte, ByVal count As Long, ByRef got As Long, ByVal timeoutMs As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_Ping Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadBlockData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadWordData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef value As Integer, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_ReadByteData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef value As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteBlockData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteWordData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByVal value As Integer, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteByteData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByVal id As Byte, ByVal address As Byte, ByVal value As Byte, ByRef status As Integer) As Byte
    Public Declare PtrSafe Function ZAV_WriteSyncData Lib "zavlib_x32.dll" (ByVal handle As LongPtr, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
#Else
    ' VB6 and Office before 2010.
    Public Declare Function ZAV_OpenPort Lib "zavlib_x32.dll" (ByVal name As String, ByVal baudrate As Long) As Long
    Public Declare Function ZAV_ClosePort Lib "zavlib_x32.dll" (ByVal handle As Long) As Byte
    Public Declare Function ZAV_Active Lib "zavlib_x32.dll" (ByVal handle As Long) As Byte
    Public Declare Function ZAV_SetBaudrate Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal baudrate As Long) As Byte
    Public Declare Sub ZAV_SetTimeOutOffset Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal offsetMs As Long)
    Public Declare Sub ZAV_SetEchoCancel Lib "zavlib_x32.dll" (ByVal enable As Long)
    Public Declare Function GetQueryPerformanceCounter Lib "zavlib_x32.dll" () As Double
    Public Declare Function ZAV_TxPacket Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Long, ByVal command As Long, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare Function ZAV_RxPacket Lib "zavlib_x32.dll" (ByVal handle As Long, ByRef buffer As Byte, ByVal count As Long, ByRef got As Long, ByVal timeoutMs As Long, ByRef status As Integer) As Byte
    Public Declare Function ZAV_Ping Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByRef status As Integer) As Byte
    Public Declare Function ZAV_ReadBlockData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare Function ZAV_ReadWordData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByRef value As Integer, ByRef status As Integer) As Byte
    Public Declare Function ZAV_ReadByteData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByRef value As Byte, ByRef status As Integer) As Byte
    Public Declare Function ZAV_WriteBlockData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
    Public Declare Function ZAV_WriteWordData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByVal value As Integer, ByRef status As Integer) As Byte
    Public Declare Function ZAV_WriteByteData Lib "zavlib_x32.dll" (ByVal handle As Long, ByVal id As Byte, ByVal address As Byte, ByVal value As Byte, ByRef status As Integer) As Byte
    Public Declare Function ZAV_WriteSyncData Lib "zavlib_x32.dll" (ByVal handle As Long, ByRef data As Byte, ByVal length As Long, ByRef status As Integer) As Byte
#End If

' The names of the flags set in a status word, e.g. "ERR_WRITE | ERR_TIMEOUT".
Public Function ZavFlagNames(ByVal status As Integer) As String
    Dim names As String
    If status And ERR_WRITE Then names = names & " | ERR_WRITE"
    If status And ERR_TIMEOUT Then names = names & " | ERR_TIMEOUT"
    If status And ERR_PORT Then names = names & " | ERR_PORT"
    If status And ERR_REPLY Then names = names & " | ERR_REPLY"
    If status And ERR_ADDRESS Then names = names & " | ERR_ADDRESS"
    If status And ERR_ID Then names = names & " | ERR_ID"
    If status And ERR_HANDLE Then names = names & " | ERR_HANDLE"
    If Len(names) = 0 Then ZavFlagNames = "none" Else ZavFlagNames = Mid$(names, 4)
End Function

' Example: list the servos on COM3, move servo 1 to 4000 and print where it is.
Public Sub ZavExample()
#If VBA7 Then
    Dim port As LongPtr
#Else
    Dim port As Long
#End If
    Dim status As Integer, id As Integer, present As Integer

    port = ZAV_OpenPort("COM3", ZAV_DEFAULT_BAUD)
    If port = 0 Then
        Debug.Print "cannot open COM3"
        Exit Sub
    End If
    For id = 0 To ZAV_ID_MAX
        If ZAV_Ping(port, CByte(id), status) = 1 Then Debug.Print "servo " & id & " answers"
    Next id
    ' Take hold where the servo stands, then send the goal.
    If ZAV_WriteByteData(port, 1, ZAV_REG_TORQUE_ENABLE, 1, status) = 0 Or status <> 0 Then
        Debug.Print "torque on failed: " & ZavFlagNames(status)
    ElseIf ZAV_WriteWordData(port, 1, ZAV_REG_GOAL_POSITION, 4000, status) = 0 Or status <> 0 Then
        Debug.Print "goal failed: " & ZavFlagNames(status)
    ElseIf ZAV_ReadWordData(port, 1, ZAV_REG_PRESENT_POSITION, present, status) = 1 Then
        Debug.Print "servo 1 is at " & present
    End If
    ZAV_ClosePort port
End Sub
