// Runs a web page's own scripts in the platform's JScript engine (cscript), as
// Internet Explorer would run them, against the registered control, with a
// stand-in for the few parts of the browser that the pages use. Prints what
// the page would show: one "ELEMENT.text=", ".className=" and ".display=" line
// per element the page touched, then the end marker.
//
// Usage: cscript page_in_script_host.js PAGE BROWSER
//   BROWSER: ie11       Internet Explorer 11 in standards mode, which hides
//                       ActiveXObject: "ActiveXObject" in window holds, yet
//                       window.ActiveXObject and typeof ActiveXObject give
//                       undefined; new ActiveXObject(...) works.
//            blocked    the same browser where the control cannot be created
//                       (missing, or not allowed for the site's zone).
//            no-activex a browser without ActiveX: nothing of it anywhere, and
//                       without the ieTalvenor extension (whose content
//                       script would mark the root element).
// The page's inline and src scripts run in their order, then window.onload,
// then the timers they set.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var pagePath = WScript.Arguments(0);
var browser = WScript.Arguments(1);

function readFile(path) {
    var stream = fso.OpenTextFile(path, 1);
    var text = stream.AtEnd ? "" : stream.ReadAll();
    stream.Close();
    return text;
}

// The scripts of a page in document order: inline text, or the file a src
// attribute names, relative to the page.
function pageScripts(path) {
    var html = readFile(path);
    var folder = fso.GetParentFolderName(path);
    var scripts = [];
    var tag = /<script([^>]*)>([\s\S]*?)<\/script>/gi;
    var match;
    while ((match = tag.exec(html)) !== null) {
        var src = /\bsrc="([^"]*)"/i.exec(match[1]);
        scripts.push(src ? readFile(fso.BuildPath(folder, src[1].replace(/\//g, "\\"))) : match[2]);
    }
    return scripts;
}

// The elements the page reads and writes, created on first use. Their text is
// what the page appended; the pages clear an element (innerHTML = "") only
// before they first write it, so clearing needs no model.
var elements = {};
var touched = [];
function element(id) {
    if (!elements[id]) {
        elements[id] = {
            id: id,
            className: "",
            style: { display: "" },
            texts: [],
            appendChild: function (node) {
                this.texts.push(node.nodeValue);
                return node;
            }
        };
        touched.push(id);
    }
    return elements[id];
}

// Internet Explorer exposes an <object> element's control through the
// element; the install page reads the control's Version from it.
function objectElement(id) {
    var control = element(id);
    if (browser === "ie11") {
        var created = new ActiveXObject("IeTalvenor.Talvenor");
        control.Version = created.Version;
    }
    return control;
}

var document = {
    documentElement: {
        getAttribute: function () {
            return null;
        }
    },
    getElementById: function (id) {
        return id === "talvenor" ? objectElement(id) : element(id);
    },
    createTextNode: function (text) {
        return { nodeValue: String(text) };
    }
};

var timers = [];
var window = {
    document: document,
    location: { protocol: "http:", origin: "http://intranet.example" },
    setTimeout: function (callback) {
        timers.push(callback);
        return timers.length;
    },
    clearTimeout: function (handle) {
        timers[handle - 1] = null;
    }
};
if (browser !== "no-activex") {
    // Internet Explorer 11: present, yet undefined when read.
    window.ActiveXObject = undefined;
}
var setTimeout = window.setTimeout;
var clearTimeout = window.clearTimeout;

// A page's script sees these as its globals: the engine's real ActiveXObject
// in Internet Explorer 11, none in a browser without ActiveX, and one that
// fails where the browser may not create the control.
function runPage(scripts) {
    var ActiveXObject = {
        ie11: this.ActiveXObject,
        "no-activex": undefined,
        blocked: function () {
            throw new Error("Automation server can't create object");
        }
    }[browser];
    for (var i = 0; i < scripts.length; i++) {
        // IE11's standards mode answers typeof ActiveXObject as it answers
        // for window.ActiveXObject: undefined.
        var text = browser === "ie11" ?
            scripts[i].replace(/typeof\s+ActiveXObject\b/g, "typeof window.ActiveXObject") :
            scripts[i];
        eval(text);
    }
}

runPage(pageScripts(pagePath));
if (window.onload) {
    window.onload();
}
for (var t = 0; t < timers.length; t++) {
    if (timers[t]) {
        timers[t]();
    }
}
for (var e = 0; e < touched.length; e++) {
    var el = elements[touched[e]];
    WScript.Echo(el.id + ".text=" + el.texts.join(""));
    WScript.Echo(el.id + ".className=" + el.className);
    WScript.Echo(el.id + ".display=" + el.style.display);
}
WScript.Echo("end=ok");
