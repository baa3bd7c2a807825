// zrlink_shell.cpp -- shell commands, the simulator's storage and trees for zrlink's tests.
#include "zrlink_shell.h"

#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zrlinktest {

Shell sh(const std::string &command, int seconds) {
  std::string full = "timeout -k 2 " + std::to_string(seconds) + " bash -c '" + command + "' 2>&1";
  Shell r{-1, ""};
  FILE *p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string read_file(const std::string &path) { return zrtest::ReadFile(path).value_or("<missing>"); }

bool read_png(const std::string &path, Picture *picture) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_STRIP_ALPHA | PNG_TRANSFORM_STRIP_16 | PNG_TRANSFORM_GRAY_TO_RGB, nullptr);
    picture->width = png_get_image_width(png, info);
    picture->height = png_get_image_height(png, info);
    if (png_get_channels(png, info) == 3) {
      const size_t row = static_cast<size_t>(picture->width) * 3;
      png_bytepp rows = png_get_rows(png, info);
      picture->rgb.resize(row * picture->height);
      for (unsigned y = 0; y < picture->height; ++y) std::copy(rows[y], rows[y] + row, &picture->rgb[y * row]);
      ok = true;
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return ok;
}

std::string tree(const std::string &root) {
  return sh("cd \"" + root +
            "\" && find . -mindepth 1 \\( -type f -printf \"%p %s\\n\" \\) -o "
            "\\( -type d -printf \"%p/\\n\" \\) -o \\( -type l -printf \"%p@\\n\" \\) | LC_ALL=C sort")
      .out;
}

std::string fill_storage(const std::string &root) {
  std::system(("mkdir -p '" + root + "/docs/deep' '" + root + "/empty'").c_str());
  zrtest::WriteFile(root + "/notes.txt", "hello handheld\n");
  zrtest::WriteFile(root + "/docs/a b.txt", std::string(5000, 'a'));
  zrtest::WriteFile(root + "/docs/deep/z.bin", std::string(70000, 'z'));
  return root;
}

std::vector<std::string> Handheld::with_storage(std::vector<std::string> more) const {
  more.insert(more.begin(), {"--storage", root});
  return more;
}

int Handheld::count(const std::string &word, size_t from) const {
  auto all = sim.requests();
  return static_cast<int>(std::count_if(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                                        [&](const std::string &r) { return r.rfind(word + " ", 0) == 0; }));
}

std::string zrlink_for(const zrtest::SimProcess &sim) {
  return std::string(ZRLINK_PATH) + " --addr " + sim.addr_text();
}

}  // namespace zrlinktest
