// The chain optimised as a release build would be (-O2 whatever the configuration).
#define QM_CHAIN_NS chain_o2
#include "chain//links.inc"
