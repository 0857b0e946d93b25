#include "Orb.h"

namespace testsupport {

CORBA::ORB_ptr orb() {
    static CORBA::ORB_ptr s_orb = [] {
        const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"},
                                    {"giopMaxMsgSize", "67108864"},
                                    {nullptr, nullptr}};
        int argc = 0;
        return CORBA::ORB_init(argc, nullptr, "omniORB4", options);
    }();
    return s_orb;
}

PortableServer::POA_ptr rootPoa() {
    static PortableServer::POA_ptr s_poa = [] {
        CORBA::Object_var obj = orb()->resolve_initial_references("RootPOA");
        PortableServer::POA_ptr poa = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var mgr = poa->the_POAManager();
        mgr->activate();
        return poa;
    }();
    return s_poa;
}

}  // namespace testsupport
