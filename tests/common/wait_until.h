// Waiting on the event loop for a condition, shared by every suite and run.
#ifndef TAVRO_TESTS_WAIT_UNTIL_H
#define TAVRO_TESTS_WAIT_UNTIL_H

#include <functional>

// Runs the event loop until `done` holds or the time is up. Blocks between
// events instead of polling, so input is handled the moment it arrives;
// `done` is asked again at least every `wakeMs` (a condition on a clock or on
// state that no event announces needs that).
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000, int wakeMs = 50);

#endif
