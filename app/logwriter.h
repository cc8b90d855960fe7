// Standard error that never holds up the event thread: lines wait in a bounded queue for a thread
// of their own, and what a reader does not take is dropped and counted.
#pragma once

#include <QtGlobal>

#include <chrono>

namespace LogWriter {

// Room for lines a reader has not taken yet: ten thousand lines of a hundred bytes, so a reader
// that pauses for a while loses nothing, and a reader that never reads costs no more than this.
inline constexpr qsizetype QueueBytes = 1024 * 1024;
// How long the end of the program waits for queued lines to go out.
inline constexpr std::chrono::milliseconds FinishTime {300};

// Every message of the program and of Qt goes through the queue from now on. A failed write (a
// pipe whose reader left, a full disk) ends logging, never the program.
void install();
// Gives the writer up to FinishTime to write what is queued.
void finish();

} // namespace LogWriter
