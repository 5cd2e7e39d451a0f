// Prints the machine identifier that the engine derives for a salt (default
// "abc") and whether the machine-wide installation token exists.
#include <cstdio>
#include <cstring>

#include "engine_text.h"
#include "machine_id.h"
#include "token_store.h"

int main(int argc, char** argv) {
    const char* salt = argc > 1 ? argv[1] : "abc";
    engine::UniqueText identifier(engine::ComputeMachineId(salt));
    std::printf("salt:       %s\n", salt);
    std::printf("identifier: %s (%u characters)\n", identifier.get(),
                static_cast<unsigned>(std::strlen(identifier.get())));
    std::printf("installed:  %s\n", engine::IsInstalled() ? "yes" : "no");
    return 0;
}
