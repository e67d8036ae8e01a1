#pragma once
// Pauses for tests that must act at an exact moment of the program's work (a folder swapped between
// its reading and the walk into its sub-folders, or between the scan and the opening of a picture, a
// picture arriving between the empty check and a folder's removal). Built only with the tests
// (VESK_BUILD_TESTS): in a release build no hook exists.
//
// With VESK_TEST_HOOKS=DIR, the hook NAME is armed while the file DIR/NAME exists, and only when DIR
// is the user's own folder of mode 0700 (else one log line, and no hook arms); for every detail when
// the file is empty, else only for the detail it holds. An armed hook appends its detail and a line
// end to DIR/NAME.reached (never through a link), then waits until DIR/NAME is gone (at most two
// minutes) before the program goes on.

#include <QString>

namespace vesk {

// Blocks the calling thread while the hook is armed. Costs one environment lookup when hooks are off,
// nothing in a release build.
void testHook(const char *name, const QString &detail);

} // namespace vesk
