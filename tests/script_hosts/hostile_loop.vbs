' What a hostile page might send, over and over: salts of 100,000 characters
' held in variables, extra arguments, refused salts and objects whose
' conversion to text raises an error. Prints "warm" after a first batch and
' "done" after the measured one, each followed by a pause in which the test
' reads the host's memory, then the end marker. Usage: hostile_loop.vbs ROUNDS
Option Explicit
Class Throwing
    Public Default Function Text()
        Err.Raise 5
    End Function
End Class

Dim rounds, o, huge, refused, throwing, id
rounds = CLng(WScript.Arguments(0))
Set o = CreateObject("IeTalvenor.Talvenor")
huge = String(100000, "x")
refused = Chr(1) & huge
Set throwing = New Throwing

Sub Round()
    On Error Resume Next
    id = o.getID(huge, 0)
    o.getID huge, huge, huge
    id = o.Version(huge)
    id = o.getID(huge)
    o.getID refused
    id = o.getID(throwing)
    Err.Clear
End Sub

Sub Batch(name)
    Dim i, started
    For i = 1 To rounds
        Round
    Next
    WScript.Echo name
    ' This cscript has no WScript.Sleep.
    started = Timer
    Do While Timer < started + 0.4
    Loop
End Sub

Batch "warm"
Batch "done"
WScript.Echo "end=ok"
