Attribute VB_Name = "Marvok"
' Marvok from VBA: read the FPM and F measurements of an instrument.
'
' For Excel. Import this module into a workbook (VBA editor: File > Import File...) and
' put Marvok.dll next to the workbook: the i686 DLL for 32-bit Office, the
' x86_64 DLL for 64-bit Office (the bitness of Office, not of Windows).
'
'   Debug.Print MarvokRevision()                      ' 103
'   Debug.Print MarvokReadFPM("192.168.1.20", 250)
'   Debug.Print MarvokReadF("192.168.1.20")
'
' A call blocks Excel until it returns: at least 100 ms, up to about 8 s
' when the instrument does not answer. Failures raise run-time errors
' MARVOK_NO_CONNECTION and MARVOK_NO_REPLY, which callers can trap with
' On Error.
Option Explicit

' VBA's Integer is 16-bit and Double is 8 bytes, on 32-bit and 64-bit Office
' alike: the declarations are the same, only PtrSafe is new in VBA7.
' Declare always uses __stdcall on 32-bit Office, as the i686 DLL expects.
#If VBA7 Then
Private Declare PtrSafe Function MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION Lib "Marvok.dll" () As Double
Private Declare PtrSafe Function MARVOK_MODBUS_READ_FPM Lib "Marvok.dll" (ByVal a As Integer, ByVal b As Integer, ByVal c As Integer, ByVal d As Integer, ByVal delay As Integer) As Double
Private Declare PtrSafe Function MARVOK_MODBUS_READ_F Lib "Marvok.dll" (ByVal a As Integer, ByVal b As Integer, ByVal c As Integer, ByVal d As Integer, ByVal delay As Integer) As Double
' A module handle is pointer-sized: LongPtr (LongLong on 64-bit Office).
Private Declare PtrSafe Function LoadLibraryW Lib "kernel32" (ByVal fileName As LongPtr) As LongPtr
#Else
Private Declare Function MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION Lib "Marvok.dll" () As Double
Private Declare Function MARVOK_MODBUS_READ_FPM Lib "Marvok.dll" (ByVal a As Integer, ByVal b As Integer, ByVal c As Integer, ByVal d As Integer, ByVal delay As Integer) As Double
Private Declare Function MARVOK_MODBUS_READ_F Lib "Marvok.dll" (ByVal a As Integer, ByVal b As Integer, ByVal c As Integer, ByVal d As Integer, ByVal delay As Integer) As Double
Private Declare Function LoadLibraryW Lib "kernel32" (ByVal fileName As Long) As Long
#End If

Public Const MARVOK_NO_CONNECTION As Long = vbObjectError + 513
Public Const MARVOK_NO_REPLY As Long = vbObjectError + 514

Private Const RESULT_NO_CONNECTION As Double = 99999#
Private Const RESULT_NO_REPLY As Double = 99998#

Private loaded As Boolean

' Loads Marvok.dll from the workbook's folder once. Declare looks for
' "Marvok.dll" among the modules already loaded before it searches the
' disk, so the Declare lines above then find this copy.
Private Sub LoadMarvok()
    If loaded Then Exit Sub
    Dim dllFile As String
    dllFile = ThisWorkbook.Path & Application.PathSeparator & "Marvok.dll"
    If LoadLibraryW(StrPtr(dllFile)) = 0 Then
        Err.Raise vbObjectError + 512, "Marvok", "Cannot load " & dllFile & _
            " (missing, or built for the other bitness of Office)"
    End If
    loaded = True
End Sub

' The four parts of "a.b.c.d", each 0 to 255, or a run-time error 5.
Private Sub ParseAddress(ByVal address As String, parts() As Integer)
    Dim texts() As String, i As Integer
    texts = Split(address, ".")
    If UBound(texts) <> 3 Then Err.Raise 5, "Marvok", "Not an IPv4 address a.b.c.d: " & address
    ReDim parts(0 To 3)
    For i = 0 To 3
        If Not (texts(i) Like "#" Or texts(i) Like "##" Or texts(i) Like "###") Then
            Err.Raise 5, "Marvok", "Not an IPv4 address a.b.c.d: " & address
        End If
        If CLng(texts(i)) > 255 Then Err.Raise 5, "Marvok", "Address part above 255: " & address
        parts(i) = CInt(texts(i))
    Next i
End Sub

' One measurement ("FPM" or "F") after checking the arguments; the sentinels
' become run-time errors.
Private Function Measure(ByVal what As String, ByVal address As String, ByVal delay As Integer) As Double
    Dim p() As Integer, value As Double
    ParseAddress address, p
    If delay < 0 Then Err.Raise 5, "Marvok", "The delay must be 0 to 32767 ms"
    LoadMarvok
    If what = "FPM" Then
        value = MARVOK_MODBUS_READ_FPM(p(0), p(1), p(2), p(3), delay)
    Else
        value = MARVOK_MODBUS_READ_F(p(0), p(1), p(2), p(3), delay)
    End If
    If value = RESULT_NO_CONNECTION Then
        Err.Raise MARVOK_NO_CONNECTION, "Marvok", "No connection to " & address & " (" & what & ")"
    ElseIf value = RESULT_NO_REPLY Then
        Err.Raise MARVOK_NO_REPLY, "Marvok", "No reply from " & address & " (" & what & ")"
    End If
    Measure = value
End Function

Public Function MarvokRevision() As Double
    LoadMarvok
    MarvokRevision = MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION()
End Function

' The FPM measurement of the instrument at address ("a.b.c.d"). delay is a
' pacing delay in ms (0 to 32767): the call spends at least the larger of
' delay and 100 ms after the reply.
Public Function MarvokReadFPM(ByVal address As String, Optional ByVal delay As Integer = 0) As Double
    MarvokReadFPM = Measure("FPM", address, delay)
End Function

' The F measurement; as MarvokReadFPM.
Public Function MarvokReadF(ByVal address As String, Optional ByVal delay As Integer = 0) As Double
    MarvokReadF = Measure("F", address, delay)
End Function

' Reads both measurements once and shows them, or what went wrong.
Public Sub MarvokDemo()
    Const address As String = "192.168.1.20"
    On Error GoTo Failed
    MsgBox "Marvok " & MarvokRevision() & vbCrLf & _
           "FPM " & MarvokReadFPM(address, 250) & vbCrLf & _
           "F " & MarvokReadF(address, 250), vbInformation, "Marvok"
    Exit Sub
Failed:
    MsgBox Err.Description, vbExclamation, "Marvok"
End Sub
