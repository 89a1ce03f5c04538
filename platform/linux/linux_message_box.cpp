// Linux message boxes: a modal GTK message dialog with one OK button, run to its end.
#include <gtk/gtk.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

std::string LinuxUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wide : text) {
        const auto c = static_cast<unsigned long>(wide);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void PlatformMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                        unsigned flags) {
    const GtkMessageType type =
        (flags & MessageBoxIconError) != 0 ? GTK_MESSAGE_ERROR : GTK_MESSAGE_OTHER;
    GtkWidget* dialog =
        gtk_message_dialog_new(owner != nullptr ? LinuxGtkWindow(owner) : nullptr, GTK_DIALOG_MODAL,
                               type, GTK_BUTTONS_OK, "%s", LinuxUtf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), LinuxUtf8(title).c_str());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
