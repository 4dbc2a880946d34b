// The layer compiled as client code on the device is: no exceptions, no RTTI,
// every warning an error. Each owner and result is instantiated whole and
// every call of every method is taken, so that nothing escapes the compiler.
#include "patch_sdk_service_agent.hpp"

#define PSS_CHECK_REQ_RSP(Op, ...)                 \
    template class pss::Response<pss::method::Op>; \
    template class pss::Result<pss::Response<pss::method::Op>>;
#define PSS_CHECK_REQ_ONLY(Op, ...)
PSS_METHODS(PSS_CHECK_REQ_RSP, PSS_CHECK_REQ_ONLY)

template <class M>
void TakeCalls() {
    [[maybe_unused]] auto pfnCall = &pss::call<M>;
    [[maybe_unused]] auto pfnAsync = &pss::call_async<M>;
    if constexpr (!pss::has_response_v<M>) {
        [[maybe_unused]] auto pfnOneway = &pss::send_oneway<M>;
    }
}
template <class... M>
void TakeEveryCall(pss::method_list<M...>) {
    (TakeCalls<M>(), ...);
}
template void TakeEveryCall(pss::all_methods);

bool UseTheRest(pss::Response<pss::method::QueryDescInfo> &r,
                const pss::Response<pss::method::QueryInstInfo> &c, char (&ac)[8]) {
    return r.infos().size() + c.infos().size() == pss::text(ac).size() && pss::set_text(ac, "x");
}
