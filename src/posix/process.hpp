// What the replacement of <vms> asks of the process: the handlers that
// remove its leftovers after a signal, and what the program found at its
// start. signals.cpp answers on POSIX systems; wasi.cpp under WASI, where
// no signal can end the program between two calls.
#pragma once

namespace quib::posix {

// Puts the handlers in place, once: every signal that would end the
// program removes the leftovers first. Only a run that names a file of its
// own needs them, and only from the moment it does.
void installHandlers() noexcept;

// Whether the holds block the signals even where no handler is in place:
// while this run has an unnamed file, which the commit names and moves
// under its hold, where a signal between the two would leave the name
// behind, and where one that comes during the close waits for the move.
void blockWhileHeld(bool unnamedFile) noexcept;

// Whether the standard descriptor fd (0, 1 or 2) was closed when the
// program started, and now holds /dev/null: no place to deliver a picture to.
bool closedAtStart(int fd) noexcept;

}  // namespace quib::posix
