#include "platform/HeapTrim.h"

#include <malloc.h>

void ReleaseFreeHeapMemory() {
  // Whether anything was given back changes nothing for the caller.
  ::malloc_trim(0);
}
