// Factory function types and the middleware's generic factory pair.
#ifndef RTM_FACTORY_H
#define RTM_FACTORY_H

namespace RTC {

class Manager;
class RTObject_impl;

typedef RTObject_impl* (*RtcNewFunc)(Manager* manager);
typedef void (*RtcDeleteFunc)(RTObject_impl* rtc);

template <class Component>
RTObject_impl* Create(Manager* manager) {
    return new Component(manager);
}

template <class Component>
void Delete(RTObject_impl* rtc) {
    delete static_cast<Component*>(rtc);
}

}  // namespace RTC

#endif
