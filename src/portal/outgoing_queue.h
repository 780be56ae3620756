// The portal client's outgoing batch: rows of a data set in call order, where messages to the
// same user that follow each other share one row. Not locked: the client guards it.
#pragma once

#include <memory>
#include <string>

#include "portal/payload.h"
#include "values/values.h"

namespace vtx {

class TPortalOutQueue {
 public:
  // Creates the (empty) data set when there is none.
  void Ensure();
  bool HasData() const { return StoredUserData != nullptr; }

  // Each row's "d" is compressed with the level given with its message (the cheapest one when
  // several messages share the row); the level given to the closing call does not count.
  // "to" + "d"; appended to the open row when it is a user row for the same user.
  void SendToUser(const RtcWideString& user, std::unique_ptr<TRtcFunctionInfo> rec,
                  TrtcpCompressLevel level);
  // "fn" + "d", always a row of its own.
  void SendToMyGroup(const RtcWideString& group, std::unique_ptr<TRtcFunctionInfo> rec,
                     TrtcpCompressLevel level);
  // A group change row: `op` (s, u, uf, t) = group and, unless empty, "user" = user.
  void GroupChange(const char* op, const RtcWideString& group, const RtcWideString* user,
                   TrtcpCompressLevel level);

  // Closes the open row and hands the batch over (null when there is none).
  std::unique_ptr<TRtcDataSet> Take(TrtcpCompressLevel level);
  // Drops the batch and its batching state.
  void Clear();

 private:
  void closeRow();

  std::unique_ptr<TRtcDataSet> StoredUserData;
  RtcWideString LastStoredUser;
  bool LastStoredFn = false;   // the open row is a group row
  bool LastStoredArr = false;  // the open row's "d" already holds an array
  bool RowOpen = false;
  // The open row is compressed with the cheapest level asked for by its messages.
  TrtcpCompressLevel RowLevel = TrtcpCompressLevel::rtcpCompNormal;
};

}  // namespace vtx
