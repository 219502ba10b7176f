#pragma once
#include <string>

// Whether the device at `path` (links followed) is a pseudo-terminal: the
// simulated module or a test's line, never a real module. A path that cannot be
// examined counts as a real device, so a guard built on this errs on the safe side.
bool IsPseudoTerminal(const std::string &path);
