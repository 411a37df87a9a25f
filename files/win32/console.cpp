#include "files/win32/console.h"

#include <windows.h>

#include "files/windows_rules.h"

namespace gantrel {

namespace {

// The span from creating a temporary to its replace or removal, in which console control events
// are held: 0 outside it, 1 inside it, 2 + the event once one has arrived inside it.
volatile LONG console_span = 0;

BOOL WINAPI hold_console_event(DWORD event) {
    const bool in_span = InterlockedCompareExchange(&console_span, 0, 0) != 0;
    if (!console_event_held(event, in_span)) {
        return FALSE;  // the platform's default: the process ends at once
    }
    const LONG before = InterlockedCompareExchange(&console_span, static_cast<LONG>(2 + event), 1);
    if (before == 0) {
        return FALSE;  // the span ended meanwhile
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        // The system ends the process as soon as this returns; the run ends it itself instead,
        // at the end of the span.
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

held_interruptions::held_interruptions() {
    static const BOOL installed = SetConsoleCtrlHandler(hold_console_event, TRUE);
    static_cast<void>(installed);
    InterlockedExchange(&console_span, 1);
}

held_interruptions::~held_interruptions() {
    if (InterlockedExchange(&console_span, 0) >= 2) {
        ExitProcess(held_event_exit_code);
    }
}

}  // namespace gantrel
