// What a hostile page might send, over and over: salts of 100,000 characters,
// extra arguments, refused salts and objects whose conversion to text throws.
// Prints "warm" after a first batch and "done" after the measured one, each
// followed by a pause in which the test reads the host's memory, then the end
// marker. Usage: hostile_loop.js ROUNDS
var rounds = Number(WScript.Arguments(0));
var o = new ActiveXObject("IeTalvenor.Talvenor");
var huge = new Array(100001).join("x");
var throwing = { toString: function () { throw new Error("no text"); } };

function attempt(call) {
    try {
        call();
    } catch (e) {
    }
}

function round() {
    attempt(function () { var id = o.getID(huge, 0); });
    attempt(function () { o.getID(huge, huge, huge); });
    attempt(function () { var version = o.Version(huge); });
    attempt(function () { var id = o.getID(huge); });
    attempt(function () { o.getID("\u0100" + huge); });
    attempt(function () { var id = o.getID(throwing); });
    attempt(function () { o.getID(); });
}

function batch(name) {
    for (var i = 0; i < rounds; i++) {
        round();
    }
    WScript.Echo(name);
    // This cscript has no WScript.Sleep.
    var until = new Date().getTime() + 400;
    while (new Date().getTime() < until) {
    }
}

batch("warm");
batch("done");
WScript.Echo("end=ok");
