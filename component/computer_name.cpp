#include "computer_name.h"

#include <cstring>

#include <windows.h>

void ReadComputerName(char (&name)[kComputerNameBufferSize]) {
    std::memset(name, 0, sizeof(name));
    DWORD size = kComputerNameBufferSize;
    GetComputerNameA(name, &size);
    name[kComputerNameBufferSize - 1] = '\0';
}
