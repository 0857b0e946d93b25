// The middleware's name for the generated header of SharedMemory.idl; the generated code itself
// lives in the build tree.
#ifndef RTM_IDL_SHAREDMEMORYSKEL_H
#define RTM_IDL_SHAREDMEMORYSKEL_H

#include "SharedMemory.hh"

#endif
