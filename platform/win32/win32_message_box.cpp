// Win32 message boxes: MessageBoxW, modal, owned by the window when one is given.
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

void PlatformMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                        unsigned flags) {
    MessageBoxW(owner != nullptr ? owner->handle : nullptr, text.c_str(), title.c_str(), flags);
}
