// The middleware's name for the generated header of SDOPackage.idl; the generated code itself lives in
// the build tree.
#ifndef RTM_IDL_SDOPACKAGESKEL_H
#define RTM_IDL_SDOPACKAGESKEL_H

#include "SDOPackage.hh"

#endif
