// Windows Script Host example: reads the four members of the installed
// ieTalvenor component. Run with: cscript //nologo talvenor.js [salt]
var salt = WScript.Arguments.length > 0 ? WScript.Arguments(0) : "abc";

var talvenor;
try {
    talvenor = new ActiveXObject("IeTalvenor.Talvenor");
} catch (e) {
    WScript.Echo("The ieTalvenor component is not installed (regsvr32 ieTalvenor.DLL).");
    WScript.Quit(1);
}

WScript.Echo("getID(\"" + salt + "\") = " + talvenor.getID(salt));
WScript.Echo("ComputerName     = " + talvenor.ComputerName);
WScript.Echo("TestInstallation = " + talvenor.TestInstallation);
WScript.Echo("Version          = " + talvenor.Version);
