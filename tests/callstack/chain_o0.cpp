// The chain without optimisation. The include path has a doubled slash on purpose: it reaches
// the debug information as written, and the stack text must show it once-slashed on Linux.
#define QM_CHAIN_NS chain_o0
#include "chain//links.inc"
