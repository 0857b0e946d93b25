// Serves FakeStereoCamera on loopback, prints its IOR on one line and runs until killed.
#include <iostream>

#include "FakeStereoCamera.h"
#include "Orb.h"

int main() {
    CORBA::ORB_ptr orb = testsupport::orb();
    PortableServer::POA_ptr poa = testsupport::rootPoa();
    auto* camera = new FakeStereoCamera;
    PortableServer::ObjectId_var id = poa->activate_object(camera);
    CORBA::Object_var ref = poa->id_to_reference(id);
    CORBA::String_var ior = orb->object_to_string(ref);
    std::cout << ior.in() << std::endl;
    orb->run();
    return 0;
}
