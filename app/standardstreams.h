// Standard input, output and error made safe before anything else opens a file.
#pragma once

namespace StandardStreams {

// Opens /dev/null on each of the descriptors 0 to 2 that is closed, so that no other file (the
// display connection, a socket) gets one of those numbers and is written to as standard error;
// and lets a write to a pipe whose reader left fail instead of ending the program.
void secure();

} // namespace StandardStreams
