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

Public Const ERR_WRITE As Integer = &H8
Public Const ERR_TIMEOUT As Integer = &H100
Public Const ERR_PORT As Integer = &H400
Public Const ERR_REPLY As Integer = &H800
Public Const ERR_ADDRESS As Integer = &H1000
Public Const ERR_ID As Integer = &H4000
Public Const ERR_HANDLE As Integer = &H8000

Public Const BROADCAST_ID As Byte = 254

Public Const ZAV_REG_ID As Byte = 0
Public Const ZAV_REG_TORQUE_ENABLE As Byte = 1
Public Const ZAV_REG_GOAL_POSITION As Byte = 2
Public Const ZAV_REG_SC2_VALUE As Byte = 4
Public Const ZAV_REG_SC1_VALUE As Byte = 5
Public Const ZAV_REG_PRESENT_POSITION As Byte = 6
Public Const ZAV_REG_SC3_VALUE As Byte = 8
Public Const ZAV_REG_SC4_VALUE As Byte = 9

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

    port = ZAV_OpenPort("COM3", 115200)
    If port = 0 Then
        Debug.Print "cannot open COM3"
        Exit Sub
    End If
    For id = 0 To 31
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
