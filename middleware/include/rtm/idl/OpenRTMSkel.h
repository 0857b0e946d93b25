// The middleware's name for the generated header of OpenRTM.idl; the generated code itself lives in
// the build tree.
#ifndef RTM_IDL_OPENRTMSKEL_H
#define RTM_IDL_OPENRTMSKEL_H

#include "OpenRTM.hh"

#endif
