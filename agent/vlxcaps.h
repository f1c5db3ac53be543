// The capabilities the agent keeps for its request. docs/security.md lists
// each one and the path that needs it.
#pragma once

#include <cstdint>

// The capabilities kept, as a mask of capability numbers.
uint64_t vlxKeptCapabilities();

// Takes every other capability out of the bounding, ambient, inheritable,
// permitted and effective sets. 0 when the sets are as asked; -1 when the
// kernel refused a change (capabilities already gone stay gone, the run goes on).
int vlxDropCapabilities();
