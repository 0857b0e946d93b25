// Stand-in only: no OpenRTM-aist header has this name.
// Helpers shared by the middleware's CORBA face and the tools that talk to it: name-value lists,
// data-type names, naming-service paths and the names of the interfaces' enumerators.
#ifndef RTM_REMOTEUTIL_H
#define RTM_REMOTEUTIL_H

#include <coil/Properties.h>
#include <rtm/RTC.h>

#include <omniORB4/Naming.hh>

#include <string>

namespace RTC {
namespace remote {

// Sets `name` to the string `value`, replacing an entry of that name or appending one.
void setNV(SDOPackage::NVList& list, const char* name, const char* value);
// Sets `name` to an Any value, replacing an entry of that name or appending one.
void setNV(SDOPackage::NVList& list, const char* name, const CORBA::Any& value);
// The value of the first entry named `name`, or null.
const CORBA::Any* findNV(const SDOPackage::NVList& list, const char* name);
// True and the text when the first entry named `name` holds a string.
bool findString(const SDOPackage::NVList& list, const char* name, std::string& value);
// Every node of `props` that has a value, by its full key, as a string entry.
SDOPackage::NVList toNVList(const coil::Properties& props);
// The string entries of `list` (entries of other types are left out).
coil::Properties toProperties(const SDOPackage::NVList& list);
// False when a name of `list` has more than coil::Properties::kMaxKeyDepth levels; such keys are
// refused rather than folded.
bool keysWithinDepth(const SDOPackage::NVList& list);
// The value of an entry as text: strings as they are, numbers and booleans printed, object
// references as "<object>", anything else as "<type-name>".
std::string anyToText(const CORBA::Any& value);

// Whether two advertised data-type names may name the same type. A port of OpenRTM-aist 1.0 says
// "TimedStereoData" (the TypeCode's simple name), one of 1.2 "IDL:QOR/TimedStereoData:1.0" (the
// repository ID): two repository IDs must be equal, otherwise the simple names are compared. An
// empty name is unknown and matches anything.
bool dataTypesMatch(const std::string& a, const std::string& b);
// The simple name in a data-type name: "TimedStereoData" for either form above.
std::string simpleTypeName(const std::string& name);

// A naming-service path "a.host_cxt/b.rtc" as a name: '/' separates components, and the last '.'
// of each separates its id from its kind (a component without '.' has an empty kind).
CosNaming::Name toName(const std::string& path);
// The path of a name, the inverse of toName() (a component with an empty kind has no '.').
std::string toPath(const CosNaming::Name& name);

const char* returnCodeName(ReturnCode_t code);
const char* stateName(LifeCycleState state);
const char* kindName(ExecutionKind kind);

}  // namespace remote
}  // namespace RTC

#endif
