// Raising the limit of open files, so many connections each with a file stay possible.
#pragma once

namespace OpenFileLimit {

// Lifts the soft limit to the hard limit; returns the limit in force afterwards (-1 if unknown).
long long raiseToHardLimit();
// The limit in force now (-1 if unknown or unlimited).
long long current();

} // namespace OpenFileLimit
