// Asks the platform's Windows Installer, through its scripting interface,
// which launch conditions of a package fail on this machine, and prints
// "refused: MESSAGE" for each: the message an install would stop with. Under
// Wine the installer neither shows nor logs that message with /qn.
// Usage: cscript //nologo launch_conditions.js PACKAGE
var ignoreMachineState = 1;
var installer = new ActiveXObject("WindowsInstaller.Installer");
var session = installer.OpenPackage(WScript.Arguments(0), ignoreMachineState);
var view = session.Database.OpenView("SELECT `Condition`, `Description` FROM `LaunchCondition`");
view.Execute();
var msiEvaluateConditionFalse = 0;
for (var row = view.Fetch(); row; row = view.Fetch()) {
    if (session.EvaluateCondition(row.StringData(1)) === msiEvaluateConditionFalse) {
        WScript.Echo("refused: " + row.StringData(2));
    }
}
WScript.Echo("end=ok");
