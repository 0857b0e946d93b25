// One ORB per test executable: omniORB's CDR streams need an initialised ORB (its code sets).
#pragma once

#include <omniORB4/CORBA.h>

namespace testsupport {

// Initialises the ORB on first use, listening on loopback only; never destroyed before exit.
CORBA::ORB_ptr orb();
// The root POA, its manager active.
PortableServer::POA_ptr rootPoa();

}  // namespace testsupport
