#pragma once
// Moved to tests/support; this path keeps working for the tests that name it.
#include "support/ChannelTestSupport.h"
