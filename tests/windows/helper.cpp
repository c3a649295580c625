// The child program of the Windows test program.
//   helper echo ARG...   prints each argument on its own line (UTF-8)
//   helper exit CODE     ends with that exit code
//   helper sleep SECONDS
//   helper listen PORT   listens on 127.0.0.1:PORT for up to a minute
//   helper               (under any name) writes started-<its name>.txt beside
//                        itself with its path and working folder: an
//                        application restarted by update.bat; then confirms
//                        its start to the waiting script as the library's
//                        update check does (.tarvik_update\swap\confirmed),
//                        unless a file "no-confirm" lies beside it
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

void write_out(const std::string& s) {
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
}

int listen_on(int port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data)) return 2;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) || listen(s, 4)) return 3;
    write_out("listening\n");
    Sleep(60000);
    return 0;
}

int app_start() {
    wchar_t exe[32768], cwd[32768];
    GetModuleFileNameW(nullptr, exe, 32768);
    GetCurrentDirectoryW(32768, cwd);
    std::wstring path(exe);
    std::wstring marker = path.substr(0, path.find_last_of(L'\\') + 1) + L"started-" +
                          path.substr(path.find_last_of(L'\\') + 1) + L".txt";
    HANDLE h = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    std::string text = utf8(path) + "\n" + utf8(cwd) + "\n";
    DWORD n = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(h);
    const std::wstring dir = path.substr(0, path.find_last_of(L'\\') + 1);
    if (GetFileAttributesW((dir + L"no-confirm").c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
    const std::wstring swap = dir + L".tarvik_update\\swap";
    if (GetFileAttributesW((swap + L"\\journal").c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
    HANDLE c = CreateFileW((swap + L"\\confirmed").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (c != INVALID_HANDLE_VALUE) CloseHandle(c);
    Sleep(3000);  // the script looks for the confirmation while the app runs
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return app_start();
    std::wstring mode = argv[1];
    if (mode == L"echo") {
        for (int i = 2; i < argc; ++i) write_out(utf8(argv[i]) + "\n");
        return 0;
    }
    if (mode == L"exit" && argc > 2) ExitProcess(static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10)));
    if (mode == L"sleep" && argc > 2) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10) * 1000));
        return 0;
    }
    if (mode == L"listen" && argc > 2) return listen_on(static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
    return 64;
}
