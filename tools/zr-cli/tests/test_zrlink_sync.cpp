// zrlink sync as a user runs it, against the simulator: its storage folder and request log
// show what reached the handheld, and a second simulator on the same storage plays a
// handheld that breaks off, lies or is slow.  Each test has its own state folder
// (XDG_STATE_HOME), where sync keeps its record of what it moved.
#include "sim_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Shell {
  int status;
  std::string out;  // standard output and error
};

// Runs a shell command (bounded by `timeout`) with both output streams captured.
Shell sh(const std::string &command, int seconds = 30) {
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

using zrtest::WriteFile;

// Every path below a folder, with the size of each file, sorted.
std::string tree(const std::string &root) {
  return sh("cd \"" + root +
            "\" && find . -mindepth 1 \\( -type f -printf \"%p %s\\n\" \\) -o "
            "\\( -type d -printf \"%p/\\n\" \\) -o \\( -type l -printf \"%p@\\n\" \\) | LC_ALL=C sort")
      .out;
}

// Fills a storage folder: notes.txt, docs/a b.txt, docs/deep/z.bin, empty/.
std::string fill_storage(const std::string &root) {
  std::system(("mkdir -p '" + root + "/docs/deep' '" + root + "/empty'").c_str());
  WriteFile(root + "/notes.txt", "hello handheld\n");
  WriteFile(root + "/docs/a b.txt", std::string(5000, 'a'));
  WriteFile(root + "/docs/deep/z.bin", std::string(70000, 'z'));
  return root;
}

// The simulator serving a storage folder filled by fill_storage.
struct Handheld {
  zrtest::TempDir dir{"zrlink-sync-test"};
  std::string root = fill_storage(dir.path() + "/storage");
  zrtest::SimProcess sim{{"--storage", root}};

  // The requests after the first `from` whose command word is `word`.
  int count(const std::string &word, size_t from = 0) const {
    auto all = sim.requests();
    return static_cast<int>(std::count_if(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                                          [&](const std::string &r) { return r.rfind(word + " ", 0) == 0; }));
  }
  size_t requests() const { return sim.requests().size(); }
};

std::string zrlink_for(const zrtest::SimProcess &sim) {
  return std::string(ZRLINK_PATH) + " --addr " + sim.addr_text();
}

// A host tree to send: a.txt, sub/b.txt, sub/deep/c.bin.
void host_tree(const std::string &root) {
  std::system(("mkdir -p '" + root + "/sub/deep'").c_str());
  WriteFile(root + "/a.txt", "first file\n");
  WriteFile(root + "/sub/b.txt", std::string(3000, 'b'));
  WriteFile(root + "/sub/deep/c.bin", std::string(20000, 'c'));
}

// A simulator with its storage, and a host folder with host_tree in src.
class ZrlinkSync : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h.sim.ok()) << h.sim.error();
    host_tree(src);
    setenv("XDG_STATE_HOME", (host.path() + "/state").c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_STATE_HOME"); }

  // A second simulator on the same storage, with fault options.
  std::unique_ptr<zrtest::SimProcess> faulty(std::vector<std::string> faults) {
    faults.insert(faults.begin(), {"--storage", h.root});
    auto sim = std::make_unique<zrtest::SimProcess>(faults);
    EXPECT_TRUE(sim->ok()) << sim->error();
    return sim;
  }

  Handheld h;
  zrtest::TempDir host{"zrlink-sync-test"};
  const std::string src = host.path() + "/src", z = zrlink_for(h.sim);
};

TEST_F(ZrlinkSync, OnlyWhatChangedMovesInEitherDirection) {
  // The contents of SRC go into DST, which is made.
  Shell first = sh(z + " -q sync \"" + src + "\" :/docs/photos");
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(tree(h.root + "/docs/photos"), tree(src));
  EXPECT_EQ(sh("diff -r \"" + src + "\" \"" + h.root + "/docs/photos\"").status, 0);

  size_t mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs/photos").status, 0);
  EXPECT_EQ(h.count("fput", mark), 0) << "an unchanged tree moves nothing";
  EXPECT_EQ(h.count("mkdir", mark), 0);

  // A file of another size, and one of the same size but newer: those two alone.
  WriteFile(src + "/sub/b.txt", std::string(3001, 'B'));
  WriteFile(src + "/a.txt", "FIRST FILE\n");
  ASSERT_EQ(sh("touch -d \"+1 hour\" \"" + src + "/a.txt\"").status, 0);
  mark = h.requests();
  Shell changed = sh(z + " sync \"" + src + "\" :/docs/photos");
  ASSERT_EQ(changed.status, 0) << changed.out;
  EXPECT_EQ(h.count("fput", mark), 2) << changed.out;
  EXPECT_EQ(h.count("fput /docs/photos/sub/b.txt", mark), 1);
  EXPECT_EQ(h.count("fput /docs/photos/a.txt", mark), 1);
  EXPECT_EQ(read_file(h.root + "/docs/photos/a.txt"), "FIRST FILE\n");

  // Fetching: the files take the handheld's times, so a second fetch moves nothing.
  const std::string back = host.path() + "/backup";
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  EXPECT_EQ(tree(back), tree(h.root + "/docs"));
  EXPECT_EQ(sh("diff -r \"" + h.root + "/docs\" \"" + back + "\"").status, 0);
  for (const char *name : {"/a b.txt", "/deep/z.bin", "/photos/a.txt", "/photos/sub/b.txt"}) {
    struct stat there, here;
    ASSERT_EQ(stat((h.root + "/docs" + name).c_str(), &there), 0) << name;
    ASSERT_EQ(stat((back + name).c_str(), &here), 0) << name;
    EXPECT_EQ(here.st_mtime, there.st_mtime) << name;
  }
  mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  EXPECT_EQ(h.count("fget", mark), 0);
  WriteFile(h.root + "/docs/a b.txt", "changed on the handheld");
  mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  EXPECT_EQ(h.count("fget", mark), 1);
  EXPECT_EQ(read_file(back + "/a b.txt"), "changed on the handheld");
}

TEST_F(ZrlinkSync, DeleteAndDryRun) {
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  // /docs now also holds what the host lacks: a b.txt and deep/z.bin.
  WriteFile(src + "/sub/b.txt", "changed");

  size_t mark = h.requests();
  std::string before = tree(h.root);
  Shell plan = sh(z + " sync --dry-run --delete \"" + src + "\" :/docs");
  ASSERT_EQ(plan.status, 0) << plan.out;
  EXPECT_NE(plan.out.find("delete /docs/a b.txt\n"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("delete /docs/deep/\n"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("send " + src + "/sub/b.txt -> /docs/sub/b.txt\n"), std::string::npos) << plan.out;
  EXPECT_EQ(std::count(plan.out.begin(), plan.out.end(), '\n'), 3) << plan.out;
  EXPECT_EQ(tree(h.root), before);
  for (const char *word : {"fput", "fdel", "rmdir", "mkdir", "move"}) EXPECT_EQ(h.count(word, mark), 0) << word;

  // Without --delete the extras stay; with it they go.
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(read_file(h.root + "/docs/sub/b.txt"), "changed");
  EXPECT_EQ(read_file(h.root + "/docs/a b.txt"), std::string(5000, 'a'));
  ASSERT_EQ(sh(z + " -q sync --delete \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(tree(h.root + "/docs"), tree(src));

  // Fetching with --delete takes away the host's extras; the plan names them first.
  const std::string back = host.path() + "/back";
  std::system(("mkdir -p '" + back + "/old'").c_str());
  WriteFile(back + "/stray.txt", "x");
  Shell fetch_plan = sh(z + " sync -n --delete :/docs/sub \"" + back + "\"");
  ASSERT_EQ(fetch_plan.status, 0) << fetch_plan.out;
  EXPECT_NE(fetch_plan.out.find("delete " + back + "/old/\n"), std::string::npos) << fetch_plan.out;
  EXPECT_NE(fetch_plan.out.find("fetch /docs/sub/deep/c.bin -> " + back + "/deep/c.bin\n"), std::string::npos)
      << fetch_plan.out;
  EXPECT_EQ(read_file(back + "/stray.txt"), "x");
  ASSERT_EQ(sh(z + " -q sync --delete :/docs/sub \"" + back + "\"").status, 0);
  EXPECT_EQ(tree(back), tree(src + "/sub"));

  // One side must be the handheld's.
  EXPECT_EQ(sh(z + " sync \"" + src + "\" \"" + back + "\"").status, 2);
  EXPECT_EQ(sh(z + " sync :/a :/b").status, 2);
}

}  // namespace
