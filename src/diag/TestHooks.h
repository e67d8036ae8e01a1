#pragma once
// Pauses for tests that must act at an exact moment of the program's work (a folder swapped between
// its reading and the walk into its sub-folders, or between the scan and the opening of a picture, a
// picture arriving between the empty check and a folder's removal). Off unless VESK_TEST_HOOKS names
// a folder; never set it outside tests.
//
// With VESK_TEST_HOOKS=DIR, the hook NAME is armed while the file DIR/NAME exists, for every detail
// when the file is empty, else only for the detail it holds. An armed hook appends its detail and a
// line end to DIR/NAME.reached, then waits until DIR/NAME is gone (at most two minutes) before the
// program goes on.

#include <QString>

namespace vesk {

// Blocks the calling thread while the hook is armed. Costs one environment lookup when hooks are off.
void testHook(const char *name, const QString &detail);

} // namespace vesk
