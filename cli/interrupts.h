// Ctrl-C (SIGINT) and SIGTERM in lumarek-carve.  The first ends the run
// gently: the engine is asked to stop and no export begins any more, at
// once, from the handler; then `onInterrupt` runs on the application's
// thread, in its event loop.  A second one ends the program at once,
// without leaving the partial file of an export under way behind.
#pragma once

#include <functional>

namespace Interrupts {

// Needs the QCoreApplication; `onInterrupt` runs at most once.
void install(std::function<void()> onInterrupt);
// Back to the default handling; the event-loop side goes.
void uninstall();
bool happened();

}  // namespace Interrupts
