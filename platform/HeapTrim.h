#pragma once
// The allocator keeps the pages a burst of work freed, for reuse: after a flood of
// connections that leaves the process holding many times the memory it needs.

// Hands every whole free page of the heap back to the system. Costs a walk of the
// heap, so call it after a burst, not after each free.
void ReleaseFreeHeapMemory();
