// The library's process-wide objects for a host program. A module that
// defines them itself, after objects of its own, leaves this unit out of its
// link: every symbol here is then already defined, so the linker never takes
// it from the library.

#include "support/library_objects.inc"
