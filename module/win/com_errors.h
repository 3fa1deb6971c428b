// How the COM interfaces report a failed call: a status with its message becomes the HRESULT and
// an explanation the host can show (EXCEPINFO for dispatch calls, the thread's error object for
// the others), and no C++ exception crosses an interface.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <exception>
#include <new>
#include <utility>

#include "module/status.h"

namespace linvo::module::com {

// Runs a call; an exception becomes a status (E_OUTOFMEMORY, E_UNEXPECTED).
template <class Call>
Status Guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return Fail(E_OUTOFMEMORY, "out of memory");
  } catch (const std::exception& e) {
    try {
      return Fail(E_UNEXPECTED, e.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return Status{E_UNEXPECTED, {}};
}

// The outcome of a dispatch call. A failure with a message, when the caller passed an EXCEPINFO,
// is DISP_E_EXCEPTION with the failure's code as scode and the message as description (script
// hosts show it); without one, the failure's own code.
HRESULT DispatchResult(const Status& status, EXCEPINFO* exception);

template <class Call>
HRESULT GuardDispatch(EXCEPINFO* exception, Call&& call) noexcept {
  return DispatchResult(Guarded(std::forward<Call>(call)), exception);
}

// The outcome of any other call: a failure's message becomes the thread's error object
// (SetErrorInfo), with the interface it came from; a success clears it.
HRESULT ErrorInfoResult(const Status& status, REFIID source);

template <class Call>
HRESULT GuardWithErrorInfo(REFIID source, Call&& call) noexcept {
  return ErrorInfoResult(Guarded(std::forward<Call>(call)), source);
}

}  // namespace linvo::module::com
