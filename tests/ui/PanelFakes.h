#pragma once
// The panel fakes are part of the one set of fake outlets.
#include "FakeOutlets.h"
