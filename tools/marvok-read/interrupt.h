// Ctrl-C during a run: the first one (or SIGTERM) asks the run to stop at
// the next point where nothing is lost and says so on stderr; a second one
// ends the program at once, as if nothing had been installed.
#pragma once

namespace marvok::read::interrupt {

// Installs the handlers. A signal ignored when the program starts (a job
// started in the background by a shell) stays ignored. With
// `after_progress_line`, the note starts on a line of its own.
void install(bool after_progress_line);

// Whether a stop was asked for.
bool requested();

}  // namespace marvok::read::interrupt
