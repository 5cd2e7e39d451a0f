// What the registered control gives a script for each salt, as reference for
// the browser tests. Each argument is one salt as UTF-16 code units in
// hexadecimal, four digits each, so that any salt, U+0000 included, passes
// the command line. Prints "N.member=value" for the N-th salt, then the end
// marker (Wine's cscript exits 0 even after a script error).
// Usage: cscript //nologo control_values.js HEX...
var talvenor = new ActiveXObject("IeTalvenor.Talvenor");
for (var n = 0; n < WScript.Arguments.length; n++) {
    var hex = WScript.Arguments(n);
    var salt = "";
    for (var i = 0; i < hex.length; i += 4) {
        salt += String.fromCharCode(parseInt(hex.substr(i, 4), 16));
    }
    WScript.Echo(n + ".identifier=" + talvenor.getID(salt));
    WScript.Echo(n + ".computerName=" + talvenor.ComputerName);
    WScript.Echo(n + ".testInstallation=" + talvenor.TestInstallation);
    WScript.Echo(n + ".version=" + talvenor.Version);
}
WScript.Echo("end=ok");
