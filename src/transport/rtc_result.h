// Result handlers of remote calls. Every live handler is registered in one process-wide set, so
// a handler destroyed while its call was in flight is skipped instead of being called. The check
// and the call are one step: a handler destroyed on another thread while its event runs waits
// in its destructor until the event has returned.
#pragma once

#include <functional>

#include "values/values.h"

namespace vtx {

class TRtcConnection;

// Sender is null when the result is delivered outside a connection (interactive results).
using TRtcResultEvent =
    std::function<void(TRtcConnection* Sender, TRtcValue& Data, TRtcValue& Result)>;

class TRtcResult {
 public:
  TRtcResult();
  virtual ~TRtcResult();
  TRtcResult(const TRtcResult&) = delete;
  TRtcResult& operator=(const TRtcResult&) = delete;

  TRtcResultEvent OnReturn;
  // Result is empty: the call got no result.
  TRtcResultEvent RequestAborted;

  // Still registered (not destroyed).
  bool Valid() const { return IsRegistered(this); }
  static bool IsRegistered(const TRtcResult* handler);

  // Fire the handler's event only while it is registered; a null or destroyed handler is
  // skipped. Returns whether the event ran.
  static bool Call_Return(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                          TRtcValue& Result);
  static bool Call_Aborted(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                           TRtcValue& Result);
};

}  // namespace vtx
