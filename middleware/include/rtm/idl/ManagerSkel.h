// The middleware's name for the generated header of Manager.idl; the generated code itself lives
// in the build tree.
#ifndef RTM_IDL_MANAGERSKEL_H
#define RTM_IDL_MANAGERSKEL_H

#include "Manager.hh"

#endif
