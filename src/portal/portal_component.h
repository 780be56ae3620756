// Base of every portal component: the client, its modules and their adapters.
#pragma once

#include <string>

namespace vtx {

class TRtcPortalComponent {
 public:
  TRtcPortalComponent() = default;
  virtual ~TRtcPortalComponent() = default;
  TRtcPortalComponent(const TRtcPortalComponent&) = delete;
  TRtcPortalComponent& operator=(const TRtcPortalComponent&) = delete;

  std::string Version_Portal() const { return "3.68"; }
};

}  // namespace vtx
