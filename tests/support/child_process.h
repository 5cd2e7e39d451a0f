// Runs a program of the Wine prefix (regsvr32, reg, cscript, a copy of the test
// itself) from a test and collects its exit code and standard output.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "read_available.h"

namespace test_support {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// A started program whose standard output and error go to a pipe, read by Finish().
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& commandLine) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&m_readEnd, &writeEnd, &inheritable, 0)) {
            m_readEnd = nullptr;
            return;
        }
        SetHandleInformation(m_readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        std::string mutableCommand = commandLine;
        if (!CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &m_process)) {
            m_process = {};
        }
        // Only the child holds the write end now: the pipe ends when the child does.
        CloseHandle(writeEnd);
    }
    // A child that was never finished is ended rather than left running.
    ~ChildProcess() {
        if (started()) {
            TerminateProcess(m_process.hProcess, 1);
            CloseProcessHandles();
        }
        if (m_readEnd != nullptr) {
            CloseHandle(m_readEnd);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_process.hProcess != nullptr; }

    // Collects the output while waiting for the child to exit, and what is
    // left in the pipe once it has. The end of the pipe is not waited for: a
    // process the child started may have inherited its write end and outlive
    // it (Wine's desktop process, started on demand, does). A child that has
    // not exited within `timeoutMilliseconds` is ended first. `watch`, when
    // given, sees the output so far and the running child every 20 ms.
    using Watch = std::function<void(const std::string& output, HANDLE process)>;
    ProcessResult Finish(DWORD timeoutMilliseconds = INFINITE, const Watch& watch = nullptr) {
        ProcessResult result;
        if (!started()) {
            return result;
        }
        const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
        while (WaitForSingleObject(m_process.hProcess, 20) == WAIT_TIMEOUT) {
            ReadAvailable(m_readEnd, result.output);
            if (watch) {
                watch(result.output, m_process.hProcess);
            }
            if (timeoutMilliseconds != INFINITE && GetTickCount64() >= deadline) {
                TerminateProcess(m_process.hProcess, 1);
            }
        }
        ReadAvailable(m_readEnd, result.output);
        GetExitCodeProcess(m_process.hProcess, &result.exitCode);
        CloseProcessHandles();
        return result;
    }

  private:
    void CloseProcessHandles() {
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = {};
    }

    HANDLE m_readEnd = nullptr;
    PROCESS_INFORMATION m_process = {};
};

inline ProcessResult RunProcess(const std::string& commandLine) {
    return ChildProcess(commandLine).Finish();
}

}  // namespace test_support
