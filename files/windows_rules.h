#pragma once

// Pure rules of the Windows side, kept apart from the platform calls so that they are tested on
// every host: path forms, the retry of a replace that another program briefly stands in the way
// of, and which console control events wait for a temporary.

#include <string>

namespace gantrel {

// `path` in the form the platform opens whatever its length: a path too long for MAX_PATH (260)
// once made absolute against `current_directory` becomes its "\\?\" form
// ("\\?\UNC\server\share\..." for a UNC path), made absolute, with backslashes, "." and ".."
// resolved, as the platform's full-path call would. Shorter paths, paths already in that form and
// device names such as NUL are returned as they are.
std::wstring extended_length_path(const std::wstring& path, const std::wstring& current_directory);

// The pause in milliseconds before retry `attempt` (from 0) of a final replace that another
// program briefly stood in the way of, or 0 when it is time to give up.
unsigned retry_pause_ms(int attempt);

// Windows console control events, by the numbers the platform gives them.
enum class console_event : unsigned long {
    ctrl_c = 0,
    ctrl_break = 1,
    close = 2,
    logoff = 5,
    shutdown = 6,
};

// Whether a console control event `event` is held back until the temporary is replaced or
// removed, rather than ending the process at once: every event that would end it (Ctrl+C,
// Ctrl+Break, closing the console, logging off, shutting down), and only while a temporary exists.
bool console_event_held(unsigned long event, bool temporary_exists);

// The exit code a process ends with once a held event is acted on: what the platform's default
// handler gives, so that cmd.exe still offers to terminate the batch job.
constexpr unsigned long held_event_exit_code = 0xC000013AUL;  // STATUS_CONTROL_C_EXIT

}  // namespace gantrel
