// A result a server function gives after it returned: the function calls CallContext::defer(),
// returns no value, and completes the handle later from any thread. The request's reply goes
// out once its last result is in, the results still in call order.
#pragma once

#include <cstddef>
#include <memory>

#include "values/values.h"

namespace vtx::gateway {

// The results of one request being gathered.
class ReplyAssembly {
 public:
  virtual ~ReplyAssembly() = default;
  // Fills slot `index`; false when that slot no longer waits (already filled).
  virtual bool fill(std::size_t index, std::unique_ptr<TRtcValueObject> value) = 0;
};

class DeferredResult {
 public:
  DeferredResult() = default;
  DeferredResult(std::shared_ptr<ReplyAssembly> reply, std::size_t index)
      : reply_(std::move(reply)), index_(index) {}

  // Hands the value over once; true when the reply still waited for it. Never call it while
  // holding a lock the reply's completion could need (it may write the reply at once).
  bool complete(std::unique_ptr<TRtcValueObject> value) {
    auto reply = std::move(reply_);
    return reply && reply->fill(index_, std::move(value));
  }
  bool pending() const { return reply_ != nullptr; }

 private:
  std::shared_ptr<ReplyAssembly> reply_;
  std::size_t index_ = 0;
};

}  // namespace vtx::gateway
