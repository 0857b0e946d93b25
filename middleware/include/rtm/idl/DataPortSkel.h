// The middleware's name for the generated header of DataPort.idl; the generated code itself lives in
// the build tree.
#ifndef RTM_IDL_DATAPORTSKEL_H
#define RTM_IDL_DATAPORTSKEL_H

#include "DataPort.hh"

#endif
