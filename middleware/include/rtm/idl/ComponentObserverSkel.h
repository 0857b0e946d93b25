// Stand-in only: no OpenRTM-aist header has this name.
// The generated header of ComponentObserver.idl, under the middleware's naming; the generated code
// itself lives in the build tree.
#ifndef RTM_IDL_COMPONENTOBSERVERSKEL_H
#define RTM_IDL_COMPONENTOBSERVERSKEL_H

#include "ComponentObserver.hh"

#endif
