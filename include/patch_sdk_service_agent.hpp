/*
 * A header-only C++ layer over the PatchSdkService agent's C interface.
 *
 *   pss::method::<Op>          one traits type per method: its records and functions
 *   pss::call<M>(req, arg)     synchronous call; Result<Response<M>> or Result<void>
 *   pss::call_async<M>(...)    the method's _async function
 *   pss::send_oneway<M>(...)   the method's _oneway function (methods without a response)
 *   pss::Response<M>           move-only owner of a response record; gives the decoded
 *                              element array back through the method's pfnFreeUnpacked
 *   pss::text / pss::set_text  bounded reading and writing of character members
 *
 * It reaches the library only through the exported functions and the codec
 * table their SetIdl fills. No exceptions, no RTTI, no allocation; C++17 or
 * later.
 */
#ifndef PATCH_SDK_SERVICE_AGENT_HPP
#define PATCH_SDK_SERVICE_AGENT_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#if __cplusplus >= 202002L && defined(__has_include)
#if __has_include(<span>)
#include <span>
#endif
#endif

#include "patch_sdk_service_agent.h"
#include "patch_sdk_service_agent_methods.h"

namespace pss {

/* ---- views of element arrays -------------------------------------------- */

#if defined(__cpp_lib_span) && __cpp_lib_span >= 202002L
template <class T>
using span = std::span<T>;
#else
// The little of std::span a caller needs to walk an element array.
template <class T>
class span {
  public:
    constexpr span() noexcept = default;
    constexpr span(T *pData, std::size_t uiSize) noexcept : m_pData(pData), m_uiSize(uiSize) {}
    constexpr T *data() const noexcept { return m_pData; }
    constexpr std::size_t size() const noexcept { return m_uiSize; }
    constexpr bool empty() const noexcept { return m_uiSize == 0; }
    constexpr T *begin() const noexcept { return m_pData; }
    constexpr T *end() const noexcept { return m_pData + m_uiSize; }
    constexpr T &operator[](std::size_t i) const noexcept { return m_pData[i]; }

  private:
    T *m_pData = nullptr;
    std::size_t m_uiSize = 0;
};
#endif

/* ---- method traits ------------------------------------------------------ */

// For each method: request and response (void without one), the name the
// middleware knows it by, and its exported functions.
namespace method {

#define PSS_CPP_TRAITS_(Op, Req)                                            \
    using request = Req;                                                    \
    static constexpr const char *name = "QOMA_PAT_" #Op;                    \
    static constexpr auto set_idl = &PatchSdkService_QOMA_PAT_##Op##SetIdl; \
    static constexpr auto sync = &PatchSdkService_QOMA_PAT_##Op;            \
    static constexpr auto async = &PatchSdkService_QOMA_PAT_##Op##_async;
#define PSS_CPP_REQ_RSP_(Op, Req, Rsp) \
    struct Op {                        \
        PSS_CPP_TRAITS_(Op, Req)       \
        using response = Rsp;          \
    };
#define PSS_CPP_REQ_ONLY_(Op, Req)                                              \
    struct Op {                                                                 \
        PSS_CPP_TRAITS_(Op, Req)                                                \
        using response = void;                                                  \
        static constexpr auto oneway = &PatchSdkService_QOMA_PAT_##Op##_oneway; \
    };
PSS_METHODS(PSS_CPP_REQ_RSP_, PSS_CPP_REQ_ONLY_)
#undef PSS_CPP_TRAITS_
#undef PSS_CPP_REQ_RSP_
#undef PSS_CPP_REQ_ONLY_

}  // namespace method

// All methods, in catalogue order, for code that walks them at compile time.
template <class... M>
struct method_list {
    static constexpr std::size_t size = sizeof...(M);
};

namespace detail {
template <class L>
struct drop_first;
template <class First, class... M>
struct drop_first<method_list<First, M...>> {
    using type = method_list<M...>;
};
}  // namespace detail

#define PSS_CPP_ENTRY_(Op, ...) , method::Op
using all_methods = typename detail::drop_first<
    method_list<void PSS_METHODS(PSS_CPP_ENTRY_, PSS_CPP_ENTRY_)>>::type;
#undef PSS_CPP_ENTRY_

template <class M>
inline constexpr bool has_response_v = !std::is_void_v<typename M::response>;

namespace detail {
// The query responses carry a counted array (uiInfoNum, pstInfo) that the
// decoder allocates; every other record owns nothing.
template <class R, class = void>
struct info_array : std::false_type {};
template <class R>
struct info_array<
    R, std::void_t<decltype(std::declval<R &>().pstInfo), decltype(std::declval<R &>().uiInfoNum)>>
    : std::true_type {
    using element = std::remove_pointer_t<decltype(std::declval<R &>().pstInfo)>;
};
}  // namespace detail

// Whether M's response owns a decoded element array.
template <class M>
inline constexpr bool has_infos_v =
    has_response_v<M> &&detail::info_array<typename M::response>::value;

namespace detail {
struct access;  // lets call() fill the record inside a result in place
}  // namespace detail

/* ---- owned responses ---------------------------------------------------- */

// Owns one response record of method M and what the decoder allocated in it.
// Move-only; the element array goes back through M's pfnFreeUnpacked exactly
// once, when the owner is reset, assigned over or destroyed.
template <class M>
class Response {
    static_assert(has_response_v<M>, "this method has no response");

  public:
    using record_type = typename M::response;

    Response() noexcept : m_stRec{} {}
    Response(const Response &) = delete;
    Response &operator=(const Response &) = delete;
    Response(Response &&other) noexcept : m_stRec(other.m_stRec) { other.Disown(); }
    Response &operator=(Response &&other) noexcept {
        if (this != &other) {
            reset();
            m_stRec = other.m_stRec;
            other.Disown();
        }
        return *this;
    }
    ~Response() { reset(); }

    // Takes over a record that a synchronous C call of M has filled. The
    // source keeps its fields but no longer the array, so that releasing it
    // as well does no harm.
    static Response adopt(record_type &stRec) noexcept {
        Response r;
        r.m_stRec = stRec;
        if constexpr (has_infos_v<M>) stRec.pstInfo = nullptr;
        return r;
    }

    record_type &operator*() noexcept { return m_stRec; }
    const record_type &operator*() const noexcept { return m_stRec; }
    record_type *operator->() noexcept { return &m_stRec; }
    const record_type *operator->() const noexcept { return &m_stRec; }

    // The decoded elements; empty when there is no array.
    template <class N = M, std::enable_if_t<has_infos_v<N>, int> = 0>
    auto infos() noexcept {
        using E = typename detail::info_array<record_type>::element;
        return m_stRec.pstInfo != nullptr ? span<E>(m_stRec.pstInfo, m_stRec.uiInfoNum) : span<E>();
    }
    template <class N = M, std::enable_if_t<has_infos_v<N>, int> = 0>
    auto infos() const noexcept {
        using E = const typename detail::info_array<record_type>::element;
        return m_stRec.pstInfo != nullptr ? span<E>(m_stRec.pstInfo, m_stRec.uiInfoNum) : span<E>();
    }

    // Gives the element array back now; the record stays, without it.
    void reset() noexcept {
        if constexpr (has_infos_v<M>) {
            if (m_stRec.pstInfo == nullptr) return;  // nothing allocated, or given back already
            IdlMsgOps stOps;
            M::set_idl(&stOps);
            stOps.pfnFreeUnpacked(&m_stRec);  // also clears pstInfo
            m_stRec.uiInfoNum = 0;
        }
    }

  private:
    friend struct detail::access;

    // A moved-from owner keeps nothing to give back.
    void Disown() noexcept {
        if constexpr (has_infos_v<M>) {
            m_stRec.pstInfo = nullptr;
            m_stRec.uiInfoNum = 0;
        }
    }

    record_type m_stRec;
};

/* ---- results ------------------------------------------------------------ */

// A call's outcome: its status, and on success (uiStatus 0) the value. Never
// throws; on failure the value is a default-constructed T, so that a stray
// access reads zeros rather than what a failed decode left behind.
template <class T>
class Result {
  public:
    explicit Result(IdlCallResult stStatus) noexcept : m_stStatus(stStatus), m_value() {}
    Result(IdlCallResult stStatus, T &&value) noexcept
        : m_stStatus(stStatus), m_value(std::move(value)) {}

    explicit operator bool() const noexcept { return m_stStatus.uiStatus == PSS_AGENT_OK; }
    IdlCallResult status() const noexcept { return m_stStatus; }

    T &operator*() &noexcept { return m_value; }
    const T &operator*() const &noexcept { return m_value; }
    T &&operator*() &&noexcept { return std::move(m_value); }
    T *operator->() noexcept { return &m_value; }
    const T *operator->() const noexcept { return &m_value; }

  private:
    friend struct detail::access;

    Result() noexcept : m_stStatus{}, m_value() {}

    IdlCallResult m_stStatus;
    T m_value;
};

// The outcome of a call without a response: the status alone.
template <>
class Result<void> {
  public:
    explicit Result(IdlCallResult stStatus) noexcept : m_stStatus(stStatus) {}
    explicit operator bool() const noexcept { return m_stStatus.uiStatus == PSS_AGENT_OK; }
    IdlCallResult status() const noexcept { return m_stStatus; }

  private:
    IdlCallResult m_stStatus;
};

/* ---- calls -------------------------------------------------------------- */

namespace detail {
struct access {
    // The response is decoded in place inside the result: no copy on the way out.
    template <class M>
    static Result<Response<M>> sync(const typename M::request &stReq,
                                    uint32_t uiInvokeArg) noexcept {
        Result<Response<M>> result;
        typename M::response &stRec = result.m_value.m_stRec;
        result.m_stStatus = M::sync(&stReq, &stRec, uiInvokeArg);
        if (!result) {
            // A failed decode has given its array back already; a failure after
            // a decode has not. Releasing again is harmless either way.
            result.m_value.reset();
            stRec = {};
        }
        return result;
    }
};
}  // namespace detail

// Synchronous call: Result<Response<M>> for a method with a response,
// Result<void> for one without.
template <class M>
auto call(const typename M::request &stReq, uint32_t uiInvokeArg = 0) noexcept {
    if constexpr (has_response_v<M>) {
        return detail::access::sync<M>(stReq, uiInvokeArg);
    } else {
        return Result<void>(M::sync(&stReq, uiInvokeArg));
    }
}

// Hands the call to the middleware; the outcome arrives through pfnCallback
// with a response block the middleware owns and releases after the callback
// returns (copy out what you keep). 0 means handed over. Methods without a
// response accept a null callback and then send one-way.
template <class M>
uint32_t call_async(const typename M::request &stReq, IdlAsyncCallback pfnCallback,
                    void *pvUserData, uint32_t uiInvokeArg = 0) noexcept {
    return M::async(&stReq, pfnCallback, pvUserData, uiInvokeArg);
}

// Sends without an answer; returns the middleware's status.
template <class M>
uint32_t send_oneway(const typename M::request &stReq, uint32_t uiInvokeArg = 0) noexcept {
    static_assert(!has_response_v<M>, "only methods without a response are sent one-way");
    return M::oneway(&stReq, uiInvokeArg);
}

/* ---- character members -------------------------------------------------- */

// Character members are fixed arrays that need not end in NUL: the text runs
// to the first NUL or to the array's end, never further.
template <std::size_t N>
constexpr std::string_view text(const char (&acText)[N]) noexcept {
    std::size_t uiLen = 0;
    while (uiLen < N && acText[uiLen] != '\0') ++uiLen;
    return std::string_view(acText, uiLen);
}

// Copies sText into the array and clears the rest. A text of exactly N
// characters fills the array without a NUL, which text() reads back whole.
// Returns false, having stored the first N characters, when sText is longer.
template <std::size_t N>
bool set_text(char (&acText)[N], std::string_view sText) noexcept {
    const std::size_t uiCopy = sText.size() < N ? sText.size() : N;
    // memmove: the text may be a view of this very array.
    if (uiCopy != 0) std::memmove(acText, sText.data(), uiCopy);
    std::memset(acText + uiCopy, 0, N - uiCopy);
    return sText.size() <= N;
}

}  // namespace pss

#endif
