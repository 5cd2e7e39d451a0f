// talvenor-host.exe: the native messaging host that browsers start for the
// extension. It answers the requests on standard input on standard output
// until the browser closes its input.
#include "engine_values.h"
#include "random_token.h"
#include "session.h"
#include "standard_streams.h"

int main() {
    // The engine keeps its generator state in a TLS slot of the program
    // hosting it; without one no token can be drawn safely.
    if (!engine::g_generatorStateSlot.Allocate()) {
        host::WriteStandardErrorLine("talvenor-host: no TLS slot for the token generator");
        return 1;
    }
    host::StandardInput input;
    host::StandardOutput output;
    host::EngineValues values;
    const host::SessionEnd end = host::RunSession(input, output, values);
    if (!end.problem.empty()) {
        host::WriteStandardErrorLine("talvenor-host: " + end.problem);
    }
    engine::g_generatorStateSlot.Free();
    return end.exitCode;
}
