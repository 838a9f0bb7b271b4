// Counts heap allocations made by one thread while counting is on. The
// process's malloc family is interposed (operator new ends there too), so
// allocations inside loaded modules and libraries are seen as well.
#pragma once

namespace effecttest {

void beginCountingAllocations();
// Stops counting on this thread and returns how many allocations it saw.
long endCountingAllocations();

} // namespace effecttest
