' Creates the component by both ProgIDs and prints what each member returns
' as name=value lines for the test to check.
Set versioned = CreateObject("IeTalvenor.Talvenor.1")
Set independent = CreateObject("IeTalvenor.Talvenor")
WScript.Echo "getID.0=" & versioned.getID("abc")
WScript.Echo "getID.1=" & independent.getID(Chr(233))
WScript.Echo "getID.2=" & independent.getID(String(255, "v"))
WScript.Echo "getID.3=" & independent.getID("ab" & Chr(0) & "cd")
WScript.Echo "getID.4=" & independent.getID(String(256, "v"))
WScript.Echo "ComputerName=" & independent.ComputerName
WScript.Echo "TestInstallation=" & independent.TestInstallation
WScript.Echo "TestInstallation.type=" & TypeName(independent.TestInstallation)
WScript.Echo "Version=" & versioned.Version
WScript.Echo "end=ok"
