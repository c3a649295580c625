// Child processes on Windows: CreateProcessW with an anonymous pipe for both
// output streams.
#ifdef _WIN32

#include "core/process.hpp"

#include "core/win32.hpp"

#include <cerrno>

#include "core/errors.hpp"

namespace tarvik {

namespace {

using win32::Handle;
using win32::widen;

OsError last_error(const std::string& what, const std::string& file = {}) {
    DWORD code = GetLastError();
    wchar_t* buf = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string text = what;
    if (buf) {
        std::string msg = win32::narrow(buf);
        LocalFree(buf);
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' ')) msg.pop_back();
        text = msg;
    }
    int errnum = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT
                 : code == ERROR_ACCESS_DENIED                               ? EACCES
                                                                             : EINVAL;
    return OsError(errnum, text, file);
}

// One argument quoted the way the C runtime splits a command line (the rules
// subprocess.list2cmdline follows).
void append_quoted(std::wstring& cmd, const std::wstring& arg) {
    if (!cmd.empty()) cmd += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        cmd += arg;
        return;
    }
    cmd += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            cmd.append(backslashes * 2 + 1, L'\\');
            cmd += L'"';
            backslashes = 0;
        } else {
            cmd.append(backslashes, L'\\');
            backslashes = 0;
            cmd += c;
        }
    }
    cmd.append(backslashes * 2, L'\\');
    cmd += L'"';
}

}  // namespace

struct ChildProcess::Impl {
    Handle process;
    DWORD pid = 0;
    Handle out;
    bool reaped = false;
    DWORD status = 0;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : impl_(std::make_unique<Impl>()) {
    if (argv.empty()) throw value_error("empty command");
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE rd = nullptr, wr = nullptr;
    if (!CreatePipe(&rd, &wr, &sa, 0)) throw last_error("CreatePipe");
    Handle read_end(rd), write_end(wr);
    if (!SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0)) throw last_error("SetHandleInformation");

    // The child's standard input is an inheritable copy of ours (when we
    // have one).
    Handle in_copy;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in && in != INVALID_HANDLE_VALUE) {
        HANDLE dup = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), in, GetCurrentProcess(), &dup, 0, TRUE,
                            DUPLICATE_SAME_ACCESS))
            in_copy = Handle(dup);
    }

    std::wstring cmd;
    for (const auto& a : argv) append_quoted(cmd, widen(a));
    std::wstring program = widen(argv[0]);
    bool has_dir = argv[0].find_first_of("/\\:") != std::string::npos;

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_copy.h;
    si.hStdOutput = wr;
    si.hStdError = wr;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(has_dir ? program.c_str() : nullptr, cmd.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &si, &pi))
        throw last_error("CreateProcessW", argv[0]);
    CloseHandle(pi.hThread);
    impl_->process = Handle(pi.hProcess);
    impl_->pid = pi.dwProcessId;
    impl_->out = std::move(read_end);
    // write_end closes here so that the pipe ends when the child's copies close.
}

ChildProcess::~ChildProcess() {
    if (impl_->process.h && !impl_->reaped) {
        TerminateProcess(impl_->process.h, 1);
        WaitForSingleObject(impl_->process.h, INFINITE);
    }
}

long ChildProcess::pid() const { return static_cast<long>(impl_->pid); }

void ChildProcess::read_lines(const std::function<void(std::string_view)>& on_line,
                              const std::function<void()>& on_idle) {
    LineSplitter splitter;
    char buf[65536];
    if (!impl_->out.h) return;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(impl_->out.h, buf, sizeof buf, &n, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;  // every writer has closed
            throw last_error("ReadFile");
        }
        if (n == 0) break;
        splitter.feed(std::string_view(buf, n), on_line);
        if (on_idle) on_idle();
    }
    splitter.finish(on_line);
    impl_->out.reset();
}

std::int64_t ChildProcess::wait() {
    if (!impl_->reaped) {
        if (WaitForSingleObject(impl_->process.h, INFINITE) == WAIT_FAILED) throw last_error("WaitForSingleObject");
        DWORD code = 0;
        if (!GetExitCodeProcess(impl_->process.h, &code)) throw last_error("GetExitCodeProcess");
        impl_->status = code;
        impl_->reaped = true;
        impl_->out.reset();
    }
    return static_cast<std::int64_t>(impl_->status);
}

void ChildProcess::kill() {
    if (impl_->process.h && !impl_->reaped) TerminateProcess(impl_->process.h, 1);
}

}  // namespace tarvik

#endif  // _WIN32
