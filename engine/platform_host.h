// Host (non-Windows) declarations of the platform functions the engine calls.
// Types and constants have the Win32 meaning and values; the definitions are
// provided by the test stand-in (tests/engine/fake_platform.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

using BYTE = std::uint8_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using REGSAM = DWORD;
using LPCSTR = const char*;
using LPSTR = char*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using HKEY = struct HostKey*;
using PHKEY = HKEY*;
using LPSECURITY_ATTRIBUTES = void*;

inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002));

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

extern "C" {
LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                   LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLength);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataLength);
LONG RegFlushKey(HKEY key);
LONG RegCloseKey(HKEY key);
BOOL GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                           LPDWORD serialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPSTR fileSystemName, DWORD fileSystemNameSize);
}

namespace engine {
// The stand-in models the 32-bit product, which asks for no registry view.
constexpr REGSAM kMachineKeyView = 0;

// The heap the engine's texts come from; the stand-in can make an allocation fail
// and counts the blocks that are still out.
void* AllocateFromHeap(std::size_t size);
void ReleaseToHeap(void* block);

// One pointer-sized value per thread, as on Windows; the stand-in keeps the
// values of every slot in thread-local memory of the test process. A thread
// that never wrote a slot reads 0.
class ThreadSlot {
  public:
    bool Allocate();
    void Free();
    std::uintptr_t Read() const;
    void Write(std::uintptr_t value) const;
};
}  // namespace engine
