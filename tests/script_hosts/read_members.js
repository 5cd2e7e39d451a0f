// Creates the component by both ProgIDs, as a page's script would, and prints
// what each member returns as name=value lines for the test to check.
function show(name, value) {
    WScript.Echo(name + "=" + value);
}

function repeat(text, count) {
    return new Array(count + 1).join(text);
}

var versioned = new ActiveXObject("IeTalvenor.Talvenor.1");
show("installedBefore", versioned.TestInstallation);

var salts = ["abc", "x", repeat("s", 255), repeat("s", 256), "caf\u00e9", "ab\u0000cd",
             "\u0100", ""];
for (var i = 0; i < salts.length; i++) {
    show("getID." + i, versioned.getID(salts[i]));
}

var independent = new ActiveXObject("IeTalvenor.Talvenor");
show("getID.independent", independent.getID("abc"));
show("ComputerName", independent.ComputerName);
show("TestInstallation", independent.TestInstallation);
show("TestInstallation.type", typeof independent.TestInstallation);
show("Version", independent.Version);
show("end", "ok");
