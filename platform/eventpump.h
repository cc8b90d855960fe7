// The event pump: nested event passes, short sleeps and a whole-second clock.
#pragma once

#include <QtGlobal>

namespace EventPump {

// Runs every event that is pending now once, then returns.
void runPending();

void sleepMs(int milliseconds);

// Current time in whole seconds (what a wait with a seconds limit compares).
qint64 nowSeconds();

} // namespace EventPump
