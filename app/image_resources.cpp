#include "app/image_resources.h"

#include <string>

#include "app/ui_state.h"
#include "platform/platform.h"

namespace {

void ShowResourceError(const std::wstring& text) {
    MessageBoxSink(nullptr, text, L"Resource Error", MessageBoxIconError);
}

} // namespace

PlatformImage* LoadPngResource(int id) {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    switch (PlatformFindResource("PNG", id, &bytes, &size)) {
    case ResourceStatus::NotFound:
        ShowResourceError(L"PNG Resource not found: ID " + std::to_wstring(id));
        return nullptr;
    case ResourceStatus::NotLoaded:
        ShowResourceError(L"Failed to load resource: ID " + std::to_wstring(id));
        return nullptr;
    case ResourceStatus::NotLocked:
        ShowResourceError(L"Failed to lock resource: ID " + std::to_wstring(id));
        return nullptr;
    case ResourceStatus::Found:
        break;
    }

    int status = -1;
    PlatformImage* image = PlatformDecodePng(bytes, size, &status);
    if (image != nullptr) {
        return image;
    }
    MessageBoxSink(nullptr,
                   L"GDI+ Bitmap::FromStream failed for resource ID " + std::to_wstring(id) +
                       L". Status: " + std::to_wstring(status),
                   L"GDI+ Error", MessageBoxIconError);
    return nullptr;
}
