// StereoCameraService over real GIOP on loopback, the servant in another process, and called
// within one process.
#include <gtest/gtest.h>

#include <string>

#include "CanonicalValues.h"
#include "ChildProcess.h"
#include "FakeStereoCamera.h"
#include "Orb.h"

namespace {

using namespace std::chrono_literals;

class RemoteService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsupport::orb();
        s_peer = new testsupport::ChildProcess({testsupport::executableDir() + "/stereo_service_peer"});
        std::string ior;
        ASSERT_TRUE(s_peer->readLine(ior, 20s)) << "the service process printed no IOR";
        s_object = testsupport::orb()->string_to_object(ior.c_str());
    }
    static void TearDownTestSuite() {
        CORBA::release(s_object);
        delete s_peer;
    }
    QOR::StereoCameraService_var service() { return QOR::StereoCameraService::_narrow(s_object); }

    static testsupport::ChildProcess* s_peer;
    static CORBA::Object_ptr s_object;
};
testsupport::ChildProcess* RemoteService::s_peer = nullptr;
CORBA::Object_ptr RemoteService::s_object = CORBA::Object::_nil();

TEST_F(RemoteService, AllThreeOperationsAnswer) {
    auto svc = service();
    ASSERT_FALSE(CORBA::is_nil(svc));
    QOR::TimedImageData_var image = svc->GetImage();
    EXPECT_TRUE(canonical::sameFrame(canonical::frame<QOR::TimedImageData>(), image.in()));

    QOR::TimedStereoData_var map = svc->GetStereo(3);
    EXPECT_EQ(7u, map->tm.sec);
    ASSERT_EQ(1u, map->data.length());
    EXPECT_EQ(2.0, map->data[0].z);

    QOR::TimedImageAndStereoData_var both = svc->GetImageAndStereoData();
    EXPECT_EQ(-1, both->stereo.width);
    EXPECT_TRUE(canonical::sameFrame(canonical::frame<QOR::TimedImageData>(), both->image));
}

TEST_F(RemoteService, GetStereoCarriesEveryShortUnchanged) {
    auto svc = service();
    for (CORBA::Short v : {CORBA::Short(-32768), CORBA::Short(-1), CORBA::Short(0),
                           CORBA::Short(32767)}) {
        QOR::TimedStereoData_var map = svc->GetStereo(v);
        EXPECT_EQ(v, map->width);
        ASSERT_EQ(1u, map->data[0].dmy.length());
        EXPECT_EQ(v, map->data[0].dmy[0]);
    }
}

TEST_F(RemoteService, NearMissOperationNamesAreBadOperations) {
    for (const char* name : {"getimage", "GETIMAGE", "GetImage ", "GetStereo ", "getStereo",
                             "GetImageAndStereodata", "Get"}) {
        SCOPED_TRACE(name);
        CORBA::Request_var req = s_object->_request(name);
        req->set_return_type(QOR::_tc_TimedImageData);
        bool bad = false;
        try {
            req->invoke();
            CORBA::Exception* ex = req->env()->exception();
            bad = ex && CORBA::BAD_OPERATION::_downcast(ex);
        } catch (const CORBA::BAD_OPERATION&) {
            bad = true;
        }
        EXPECT_TRUE(bad);
    }
}

TEST_F(RemoteService, TypeQueriesAnswerOnlyForTheInterface) {
    EXPECT_TRUE(s_object->_is_a("IDL:QOR/StereoCameraService:1.0"));
    EXPECT_TRUE(s_object->_is_a("IDL:omg.org/CORBA/Object:1.0"));
    EXPECT_FALSE(s_object->_is_a("IDL:QOR/StereoCameraservice:1.0"));
    CosNaming::NamingContext_var other = CosNaming::NamingContext::_narrow(s_object);
    EXPECT_TRUE(CORBA::is_nil(other));
}

TEST(ServiceNarrowing, AnotherInterfaceNarrowsToNil) {
    CORBA::Object_var root = testsupport::orb()->resolve_initial_references("RootPOA");
    QOR::StereoCameraService_var svc = QOR::StereoCameraService::_narrow(root);
    EXPECT_TRUE(CORBA::is_nil(svc));
}

TEST(LocalService, CallReturnsTheServantsOwnValue) {
    PortableServer::POA_ptr poa = testsupport::rootPoa();
    FakeStereoCamera camera;
    PortableServer::ObjectId_var id = poa->activate_object(&camera);
    CORBA::Object_var obj = poa->id_to_reference(id);
    QOR::StereoCameraService_var svc = QOR::StereoCameraService::_narrow(obj);
    ASSERT_FALSE(CORBA::is_nil(svc));

    QOR::TimedStereoData_var map = svc->GetStereo(-5);
    EXPECT_EQ(camera.lastResult(), static_cast<const void*>(map.operator->()));
    EXPECT_EQ(-5, map->data[0].dmy[0]);
    QOR::TimedImageData_var image = svc->GetImage();
    EXPECT_EQ(camera.lastResult(), static_cast<const void*>(image.operator->()));
    poa->deactivate_object(id);
}

}  // namespace
