// kxtool's picture commands, run as the built program: a PNG written as the
// engine format in each compression decodes back to the same pixels.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "format/kcg_format.h"
#include "image/decode_png.h"
#include "support/temp_folder.h"

namespace {

std::string kxtool_path() { return std::string(ZARVIK_BINARY_DIR) + "/kxtool"; }

int run(const std::string& arguments) {
  const std::string command = "'" + kxtool_path() + "' " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void append(png_structp png, png_bytep data, png_size_t n) {
  static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png))->insert(
      static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png))->end(), data, data + n);
}

// An RGBA picture with a gradient and a fully transparent column.
std::vector<uint8_t> make_png(int w, int h) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, append, nullptr);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(size_t(w) * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      row[x * 4] = uint8_t(x * 9);
      row[x * 4 + 1] = uint8_t(y * 7);
      row[x * 4 + 2] = uint8_t(x ^ y);
      row[x * 4 + 3] = x == 2 ? 0 : uint8_t(255 - y);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::vector<uint8_t> pixels_of(const std::vector<uint8_t>& png_file) {
  picture_buffer picture;
  EXPECT_EQ(decode_png(png_file.data(), png_file.size(), "x.png", picture), 0);
  std::vector<uint8_t> bytes;
  if (picture.pixels) bytes.assign(picture.pixels, picture.pixels + size_t(picture.width) * picture.height * 4);
  free_picture_buffer(picture);
  return bytes;
}

bool library_has_compressor() {
  void* library = dlopen((std::string(ZARVIK_BINARY_DIR) + "/RIRud.so").c_str(), RTLD_NOW);
  const bool ok = library && dlsym(library, "RIRud_Compress") && dlsym(library, "RIRud_Uncompress") &&
                  dlsym(library, "RIRud_UncompressedLength");
  if (library) dlclose(library);
  return ok;
}

}  // namespace

TEST(KxtoolPictures, KcgInEachCompressionDecodesToTheLoadersPixels) {
  temp_folder dir;
  dir.write("in.png", make_png(17, 9));
  ASSERT_EQ(run("decode '" + dir.path() + "in.png' '" + dir.path() + "ref.png'"), 0);
  const auto reference = pixels_of(dir.read("ref.png"));
  ASSERT_EQ(reference.size(), 17u * 9 * 4);
  EXPECT_EQ(reference[2 * 4 + 0], 0x80);  // the transparent column, normalised by the loader
  EXPECT_EQ(reference[2 * 4 + 3], 0);

  std::vector<std::string> modes = {"raw", "zlib"};
  if (library_has_compressor()) modes.push_back("library");
  for (const std::string& mode : modes) {
    for (const char* cut : {"", "--cut 0", "--cut 101", "--cut 612"}) {
      SCOPED_TRACE(mode + " " + cut);
      ASSERT_EQ(run("kcg -c " + mode + " " + cut + " '" + dir.path() + "in.png' '" + dir.path() + "out.kcg'"), 0);
      const auto kcg = dir.read("out.kcg");
      kcg_header header;
      ASSERT_TRUE(read_kcg_header(kcg.data(), kcg.size(), header));
      EXPECT_EQ(check_kcg_layout(header, kcg.size()), kcg_layout::ok);
      EXPECT_EQ(header.width, 17u);
      // Stored under a PNG name, as in packs: the signature picks the reader.
      dir.write("stored.png", kcg);
      ASSERT_EQ(run("decode '" + dir.path() + "stored.png' '" + dir.path() + "back.png'"), 0);
      EXPECT_EQ(pixels_of(dir.read("back.png")), reference);
    }
  }
  if (modes.size() < 3) GTEST_SKIP() << "RIRud.so has no compressor yet: the packed mode was not run through kxtool";
}

TEST(KxtoolPictures, BadArgumentsAndBrokenInputsFail) {
  temp_folder dir;
  dir.write("bad.png", std::string("\x89PNG\r\n\x1a\n not really", 19));
  EXPECT_EQ(run("kcg"), 2);
  EXPECT_EQ(run("kcg -c lzma a.png b.kcg"), 2);
  EXPECT_EQ(run("decode onlyone.png"), 2);
  EXPECT_EQ(run("decode '" + dir.path() + "missing.png' '" + dir.path() + "o.png'"), 1);
  EXPECT_EQ(run("decode '" + dir.path() + "bad.png' '" + dir.path() + "o.png'"), 1);
  EXPECT_EQ(run("kcg '" + dir.path() + "bad.png' '" + dir.path() + "o.kcg'"), 1);
  EXPECT_FALSE(dir.exists("o.png"));
  EXPECT_FALSE(dir.exists("o.kcg"));
}
