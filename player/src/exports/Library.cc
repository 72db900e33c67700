// The shared library is the implementation archive linked whole; this unit
// only gives the target a source of its own.
