// getID called as script authors write it, from a machine without tokens, and
// calls a page might make by mistake or on purpose. Prints name=value lines,
// error codes in hexadecimal, and the end marker last.
function show(name, value) {
    WScript.Echo(name + "=" + value);
}
function attempt(name, call) {
    try {
        show(name, call());
    } catch (e) {
        show(name, "error " + (e.number >>> 0).toString(16).toUpperCase());
    }
}

var o = new ActiveXObject("IeTalvenor.Talvenor");
var salt = "my-site-salt";
// A statement whose result is not used: it only creates the tokens.
o.getID(salt);
show("installedAfterStatement", o.TestInstallation);
show("literal", o.getID("my-site-salt"));
show("variable", o.getID(salt));
show("parenthesised", o.getID((salt)));
attempt("versionCalled", function () { return o.Version(); });
attempt("extraArgument", function () { return o.getID(salt, 0); });
attempt("noArgument", function () { return o.getID(); });
attempt("versionWithArgument", function () { return o.Version(salt); });
// A salt whose conversion to text calls getID with itself again.
var recursive = { toString: function () { return o.getID(recursive); } };
attempt("recursiveSalt", function () { return o.getID(recursive); });
show("afterRecursion", o.getID(salt));
// A salt whose conversion to text clears the variable that was passed.
var held = { toString: function () { held = null; return "my-site-salt"; } };
show("reassignedSalt", o.getID(held));
show("heldAfterCall", held);
show("end", "ok");
