// Win32 message boxes: MessageBoxW, modal, owned by the window when one is given.
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

void PlatformMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                        unsigned flags) {
    MessageBoxW(owner != nullptr ? owner->handle : nullptr, text.c_str(), title.c_str(), flags);
}

namespace {

BOOL CALLBACK EndMessageBox(HWND window, LPARAM /*unused*/) {
    wchar_t className[16];
    if (GetClassNameW(window, className, 16) > 0 && lstrcmpW(className, L"#32770") == 0) {
        EndDialog(window, IDOK);
    }
    return TRUE;
}

} // namespace

void PlatformDismissMessageBoxes() {
    // MessageBoxW's window is a dialog of the system class "#32770" on the calling thread.
    EnumThreadWindows(GetCurrentThreadId(), EndMessageBox, 0);
}
