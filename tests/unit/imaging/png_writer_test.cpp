#include "imaging/png_writer.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace vtx {
namespace {

namespace fs = std::filesystem;

class PngWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtx-png-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(PngWriter, WrittenImageReadsBackPixelForPixel) {
  // Odd width, so rows are not a multiple of 4 bytes; every channel takes distinct values.
  const int width = 5, height = 3;
  std::vector<uint32_t> px;
  for (int i = 0; i < width * height; ++i)
    px.push_back(static_cast<uint32_t>(i * 0x110000 + (255 - i) * 0x100 + i * 7 + 1));
  px[0] = 0x000000;
  px[1] = 0xFFFFFF;
  const fs::path file = dir_ / "a.png";
  WritePng(file.string(), width, height, px);

  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&img, file.c_str()));
  EXPECT_EQ(img.width, 5u);
  EXPECT_EQ(img.height, 3u);
  img.format = PNG_FORMAT_RGB;
  std::vector<png_byte> buf(PNG_IMAGE_SIZE(img));
  ASSERT_TRUE(png_image_finish_read(&img, nullptr, buf.data(), 0, nullptr));
  std::vector<uint32_t> back;
  for (size_t i = 0; i + 2 < buf.size(); i += 3)
    back.push_back(uint32_t{buf[i]} << 16 | uint32_t{buf[i + 1]} << 8 | buf[i + 2]);
  EXPECT_EQ(back, px);
}

TEST_F(PngWriter, FailuresAreReportedAndWriteNothing) {
  const fs::path missing = dir_ / "no" / "such" / "dir.png";
  try {
    WritePng(missing.string(), 1, 1, {0});
    FAIL() << "no error for an unwritable path";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot write file \"" + missing.string() + "\"");
  }
  const fs::path file = dir_ / "b.png";
  EXPECT_THROW(WritePng(file.string(), 2, 2, {1, 2, 3}), std::runtime_error);
  EXPECT_THROW(WritePng(file.string(), 0, 0, {}), std::runtime_error);
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace vtx
