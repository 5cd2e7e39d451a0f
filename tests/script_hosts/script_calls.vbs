' getID called as script authors write it, from a machine without tokens, and
' calls a page might make by mistake or on purpose. Prints name=value lines,
' error numbers in hexadecimal, and the end marker last.
Option Explicit
Dim o, salt, salts(1), result, held, installedWhenFreed
Set o = CreateObject("IeTalvenor.Talvenor")

Sub Show(name, value)
    WScript.Echo name & "=" & value
End Sub

Function ByReference(ByRef text)
    ByReference = o.getID(text)
End Function
Function ByValue(ByVal text)
    ByValue = o.getID(text)
End Function
Function FromLocal()
    Dim text
    text = "my-site-salt"
    FromLocal = o.getID(text)
End Function

' A salt whose conversion to text calls getID with itself again.
Class Recursive
    Public Default Function Text()
        Text = o.getID(Me)
    End Function
End Class

' A salt whose conversion to text reassigns the very variable that was passed,
' which held the only reference to it. It tells whether it lived until getID
' had derived: the machine has no tokens before this call.
Class Reassigning
    Public Default Property Get Text()
        Set held = Nothing
        Text = "my-site-salt"
    End Property
    Private Sub Class_Terminate()
        installedWhenFreed = o.TestInstallation
    End Sub
End Class

Set held = New Reassigning
Show "reassignedSalt", o.getID(held)
Show "installedWhenFreed", installedWhenFreed

salt = "my-site-salt"
' Statements whose result is not used: they only create the tokens.
o.getID salt
Call o.getID(salt)
Show "installedAfterStatement", o.TestInstallation
Show "literal", o.getID("my-site-salt")
Show "variable", o.getID(salt)
Show "parenthesised", o.getID((salt))
Show "byReference", ByReference(salt)
Show "byValue", ByValue(salt)
Show "local", FromLocal()
salts(0) = salt
Show "arrayElement", o.getID(salts(0))
Show "variableAfterCalls", salt

On Error Resume Next
result = o.getID(salt, 0)
Show "extraArgument", "error " & Hex(Err.Number)
Err.Clear
result = o.Version(salt)
Show "versionWithArgument", "error " & Hex(Err.Number)
Err.Clear
result = o.getID(New Recursive)
Show "recursiveSalt", "error " & Hex(Err.Number)
Err.Clear
On Error GoTo 0
Show "afterRecursion", o.getID(salt)
Show "end", "ok"
