#include "util/exceptions.h"

#include <gtest/gtest.h>

namespace vtx {
namespace {

TEST(Exceptions, CarryTheirClassNameAndExactText) {
  try {
    throw ERtcInfo("END-MARK missing.");
  } catch (const std::exception& e) {
    EXPECT_STREQ(exceptionClassName(e), "ERtcInfo");
    EXPECT_STREQ(e.what(), "END-MARK missing.");
  }
  EXPECT_STREQ(exceptionClassName(std::runtime_error("x")), "Exception");
  EXPECT_STREQ(EConvertError("x").className(), "EConvertError");
}

}  // namespace
}  // namespace vtx
