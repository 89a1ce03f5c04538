// Sends the launcher's window a message from outside, as another program would:
//     win32_post_message close      posts WM_CLOSE
//     win32_post_message command N  posts WM_COMMAND with id N
// Exit code 0 when the window was found and the message posted, 1 when there is no window.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    HWND window = FindWindowW(L"GameLauncherClass", nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (argc == 2 && std::wcscmp(argv[1], L"close") == 0) {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"command") == 0) {
        const WPARAM id = static_cast<WPARAM>(std::wcstoul(argv[2], nullptr, 10));
        return PostMessageW(window, WM_COMMAND, id, 0) ? 0 : 2;
    }
    return 3;
}
