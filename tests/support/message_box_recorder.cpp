#include "tests/support/message_box_recorder.h"

std::vector<RecordedBox> RecordedBoxes;

void RecordMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                      unsigned flags) {
    RecordedBoxes.push_back({owner, text, title, flags});
}

void ClearRecordedBoxes() {
    RecordedBoxes.clear();
}
