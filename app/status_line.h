// The status line above the bar. The worker hands its text over (SetStatus) and the UI thread
// draws it on its next tick; the worker never waits for a draw, and the UI thread copies the text
// only when it has changed.
#pragma once

#include <cstdint>
#include <string>

// Worker (any thread): the text to show from the next tick on; empty shows nothing. A text equal
// to the one already handed over changes nothing, so the generation stays.
void HandOverStatus(std::wstring text);

// Worker (any thread): as HandOverStatus, giving back the text it replaces, so that a passing
// message (a file waited for) can put it back with RestoreStatus.
std::wstring HandOverStatusFor(std::wstring text);

// Worker (any thread): hands previous over again, but only while shown is still the text; one
// handed over since (the next step's) stays.
void RestoreStatus(const std::wstring& shown, std::wstring previous);

// Bumped by every hand-over that changed the text; starts at 0 with the empty text. One atomic
// load, cheap enough to ask on every tick.
uint32_t StatusGeneration();

// UI thread: the text handed over last, copied only when StatusGeneration() moved since the
// previous call. The reference stays valid until the next call.
const std::wstring& TakeStatus();

// UI thread: the generation TakeStatus() last returned the text of. A frame that drew that text
// is current while StatusGeneration() still equals it.
uint32_t TakenStatusGeneration();
