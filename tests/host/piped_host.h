// Runs talvenor-host.exe as a browser does: its standard input, output and
// error are pipes of the test's. The input is written from a thread of its
// own, so that a host that stops reading cannot block the test; the wait for
// the host to exit is bounded and a host that outlives it is ended.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "read_available.h"

#ifndef TALVENOR_HOST_PATH
#error "TALVENOR_HOST_PATH must name the built talvenor-host.exe"
#endif

namespace test_support {

constexpr char kHostPath[] = TALVENOR_HOST_PATH;

// Generous for the emulated 32-bit guest; a host answers in well under a second.
constexpr DWORD kHostExitTimeoutMilliseconds = 60000;

enum class InputEnd {
    kClosed,    // the input ends after the bytes given, as when the browser closes the pipe
    kLeftOpen,  // nothing more arrives, but the input stays open until the host has exited
};

struct HostRun {
    bool exited = false;  // false: ended by the test after the time bound
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output
    std::string errors;  // standard error
};

namespace detail {

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// A pipe whose one end, `childEnd`, the host inherits.
inline bool MakePipe(Pipe& pipe, bool childReads) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(&pipe.read, &pipe.write, &inheritable, 0)) {
        return false;
    }
    SetHandleInformation(childReads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

inline void Close(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace detail

// Runs the host on `input`. `step` names the run in the failure reported
// when the host does not exit within the bound.
inline HostRun RunHost(const std::string& input, InputEnd end, const std::string& step) {
    HostRun run;
    detail::Pipe in, out, err;
    if (!detail::MakePipe(in, true) || !detail::MakePipe(out, false) ||
        !detail::MakePipe(err, false)) {
        ADD_FAILURE() << step << ": pipes for the host could not be made";
        return run;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.read;
    startup.hStdOutput = out.write;
    startup.hStdError = err.write;
    std::string commandLine = std::string("\"") + kHostPath + "\"";
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    // Only the host holds its ends now: its input ends when the writer's end
    // closes, and writes fail once the host has gone.
    detail::Close(in.read);
    detail::Close(out.write);
    detail::Close(err.write);
    if (!started) {
        ADD_FAILURE() << step << ": " << kHostPath << " could not be started (error "
                      << GetLastError() << ")";
        detail::Close(in.write);
        detail::Close(out.read);
        detail::Close(err.read);
        return run;
    }

    std::thread writer([&in, &input, end] {
        DWORD written = 0;
        for (std::size_t at = 0; at < input.size(); at += written) {
            if (!WriteFile(in.write, input.data() + at, static_cast<DWORD>(input.size() - at),
                           &written, nullptr) ||
                written == 0) {
                break;
            }
        }
        if (end == InputEnd::kClosed) {
            detail::Close(in.write);
        }
    });

    const ULONGLONG deadline = GetTickCount64() + kHostExitTimeoutMilliseconds;
    run.exited = true;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        ReadAvailable(out.read, run.output);
        ReadAvailable(err.read, run.errors);
        if (GetTickCount64() >= deadline) {
            ADD_FAILURE() << step << ": the host did not exit within "
                          << kHostExitTimeoutMilliseconds / 1000 << " s; ended by the test";
            run.exited = false;
            TerminateProcess(process.hProcess, 1);
            if (WaitForSingleObject(process.hProcess, kHostExitTimeoutMilliseconds) ==
                WAIT_TIMEOUT) {
                ADD_FAILURE() << step << ": the ended host was still there after "
                              << kHostExitTimeoutMilliseconds / 1000 << " s";
            }
            break;
        }
    }
    ReadAvailable(out.read, run.output);
    ReadAvailable(err.read, run.errors);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    // The host has gone: a write still pending fails and the writer ends.
    writer.join();
    detail::Close(in.write);
    detail::Close(out.read);
    detail::Close(err.read);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return run;
}

}  // namespace test_support
