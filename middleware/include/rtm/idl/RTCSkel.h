// The middleware's name for the generated header of RTC.idl; the generated code itself lives in
// the build tree.
#ifndef RTM_IDL_RTCSKEL_H
#define RTM_IDL_RTCSKEL_H

#include "RTC.hh"

#endif
