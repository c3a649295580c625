// Process listing on Windows, through a Toolhelp snapshot.
#ifdef _WIN32

#include "core/process_list.hpp"

#include "core/win32.hpp"

#include <tlhelp32.h>

#include <cerrno>

#include "core/errors.hpp"

namespace tarvik {

namespace {

using win32::Handle;
using win32::narrow;

OsError windows_error(DWORD code) {
    int errnum = code == ERROR_ACCESS_DENIED ? EACCES : code == ERROR_INVALID_PARAMETER ? ESRCH : EINVAL;
    return OsError(errnum, "Windows error " + std::to_string(code));
}

}  // namespace

std::vector<ProcessEntry> list_processes() {
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snap.h == INVALID_HANDLE_VALUE) throw windows_error(GetLastError());
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    std::vector<ProcessEntry> out;
    if (!Process32FirstW(snap.h, &pe)) {
        if (GetLastError() == ERROR_NO_MORE_FILES) return out;
        throw windows_error(GetLastError());
    }
    do {
        ProcessEntry entry;
        entry.pid = static_cast<long>(pe.th32ProcessID);
        entry.parent_pid = static_cast<long>(pe.th32ParentProcessID);
        entry.name = narrow(pe.szExeFile);  // the executable's file name, "shop.exe"
        out.push_back(std::move(entry));
    } while (Process32NextW(snap.h, &pe));
    return out;
}

void kill_process(long pid) {
    Handle h(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid)));
    if (!h.h) throw windows_error(GetLastError());
    if (!TerminateProcess(h.h, 1)) throw windows_error(GetLastError());
}

long current_process_id() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace tarvik

#endif  // _WIN32
