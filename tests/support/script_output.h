// What a test script printed, as name=value lines. Wine's cscript exits 0 even
// after an uncaught script error or a crash, so a script prints its own end
// marker, "end=ok", last, and its output counts only when the marker is there.
#pragma once

#include <map>
#include <sstream>
#include <string>

#include "child_process.h"

namespace test_support {

inline std::map<std::string, std::string> ScriptValues(const std::string& output) {
    std::map<std::string, std::string> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// Runs a script host's command line; its values, or none with the whole output
// under "output" when it did not run to its end marker.
inline std::map<std::string, std::string> RunScriptHost(const std::string& commandLine) {
    const ProcessResult result = RunProcess(commandLine);
    std::map<std::string, std::string> values = ScriptValues(result.output);
    if (result.exitCode != 0 || values["end"] != "ok") {
        return {{"output", result.output}};
    }
    return values;
}

}  // namespace test_support
