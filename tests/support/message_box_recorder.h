// Stands in for the modal message box, which nobody is there to close in a test: records what it
// was asked to show.
#pragma once

#include <string>
#include <vector>

struct PlatformWindow;

struct RecordedBox {
    PlatformWindow* owner;
    std::wstring text;
    std::wstring title;
    unsigned flags;
};

// Every box shown since the last ClearRecordedBoxes, in order.
extern std::vector<RecordedBox> RecordedBoxes;

void RecordMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                      unsigned flags);
void ClearRecordedBoxes();
