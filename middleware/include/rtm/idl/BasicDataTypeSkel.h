// The middleware's name for the generated header of BasicDataType.idl; the generated code itself
// lives in the build tree.
#ifndef RTM_IDL_BASICDATATYPESKEL_H
#define RTM_IDL_BASICDATATYPESKEL_H

#include "BasicDataType.hh"

#endif
