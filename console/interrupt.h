#ifndef INTERRUPT_H
#define INTERRUPT_H

#include <functional>

class QObject;

// Runs handler from the event loop when the user presses Ctrl-C (or the
// process is asked to terminate), so a command can stop between two steps
// instead of in the middle of one.
void onInterrupt(QObject *context, std::function<void()> handler);

#endif // INTERRUPT_H
