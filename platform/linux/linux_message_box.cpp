// Linux message boxes: a modal GTK message dialog with one OK button, run to its end, unless the
// launcher dismisses it because its window is being destroyed.
#include <algorithm>
#include <vector>

#include <gtk/gtk.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

namespace {

// Dialogs being run, innermost last. UI thread only.
std::vector<GtkDialog*> RunningDialogs;

} // namespace

void PlatformMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                        unsigned flags) {
    const GtkMessageType type =
        (flags & MessageBoxIconError) != 0 ? GTK_MESSAGE_ERROR : GTK_MESSAGE_OTHER;
    GtkWindow* parent = owner != nullptr ? LinuxGtkWindow(owner) : nullptr;
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s",
                                               LinuxUtf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), LinuxUtf8(title).c_str());
    RunningDialogs.push_back(GTK_DIALOG(dialog));
    gtk_dialog_run(GTK_DIALOG(dialog));
    RunningDialogs.erase(
        std::find(RunningDialogs.begin(), RunningDialogs.end(), GTK_DIALOG(dialog)));
    gtk_widget_destroy(dialog);
}

void PlatformDismissMessageBoxes() {
    for (GtkDialog* dialog : RunningDialogs) {
        gtk_dialog_response(dialog, GTK_RESPONSE_NONE);
    }
}
