// zrlink sync as a user runs it, against the simulator: its storage folder and request log
// show what reached the handheld, and a second simulator on the same storage plays a
// handheld that breaks off, lies or is slow.  Each test has its own state folder
// (XDG_STATE_HOME), where sync keeps its record of what it moved.
#include "sim_process.h"
#include "test_files.h"
#include "zrlink_shell.h"

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

using namespace zrlinktest;
using zrtest::WriteFile;

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
  EXPECT_EQ(first.out, "") << "a quiet sync that worked, its record written, says nothing";
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
    EXPECT_EQ(here.st_mtim.tv_nsec, 0) << name << ": the handheld's times are whole seconds";
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
  EXPECT_NE(plan.out.find("delete '/docs/a b.txt'\n"), std::string::npos) << plan.out;
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
  // A host entry that cannot be deleted (here a mount point, in a mount namespace of the
  // run's own) is named, and the run fails.
  Shell busy = sh("unshare -m sh -c \"mount -t tmpfs none \\\"\\$0\\\" && exec \\\"\\$@\\\"\" \"" + back + "/old\" " + z +
                  " -q sync --delete :/docs/sub \"" + back + "\"");
  EXPECT_EQ(busy.status, 1) << busy.out;
  EXPECT_NE(busy.out.find("zrlink: sync: cannot delete " + back + "/old: "), std::string::npos) << busy.out;
  ASSERT_EQ(sh(z + " -q sync --delete :/docs/sub \"" + back + "\"").status, 0);
  EXPECT_EQ(tree(back), tree(src + "/sub"));

  // A destination that is a file is no folder to sync into.
  Shell into_file = sh(z + " -q sync \"" + src + "\" :/docs/a.txt");
  EXPECT_EQ(into_file.status, 1) << into_file.out;
  EXPECT_NE(into_file.out.find("zrlink: sync: /docs/a.txt is not a folder\n"), std::string::npos) << into_file.out;
  EXPECT_EQ(read_file(h.root + "/docs/a.txt"), "first file\n");
  // A file where the source has a folder of its name is replaced only with --delete.
  WriteFile(h.root + "/docs/kind", "f");
  std::system(("mkdir '" + src + "/kind'").c_str());
  Shell clash = sh(z + " -q sync \"" + src + "\" :/docs");
  EXPECT_EQ(clash.status, 1) << clash.out;
  EXPECT_NE(
      clash.out.find("zrlink: sync: /docs/kind is a file where " + src + "/kind is a folder (--delete replaces it)\n"),
      std::string::npos)
      << clash.out;
  EXPECT_EQ(read_file(h.root + "/docs/kind"), "f");
  ASSERT_EQ(sh(z + " -q sync --delete \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(tree(h.root + "/docs"), tree(src));

  // One side must be the handheld's.
  EXPECT_EQ(sh(z + " sync \"" + src + "\" \"" + back + "\"").status, 2);
  EXPECT_EQ(sh(z + " sync :/a :/b").status, 2);
}

TEST_F(ZrlinkSync, DryRunLinesAreOneEachAndNameWhatTheRunDoes) {
  // Names with a line feed, a quote or a space are quoted as ls quotes them; plain ones
  // stay plain.
  WriteFile(src + "/two\nlines.txt", "x");
  WriteFile(src + "/it's.txt", "y");
  Shell plan = sh(z + " sync -n --delete \"" + src + "\" :/docs");
  ASSERT_EQ(plan.status, 0) << plan.out;
  EXPECT_NE(plan.out.find("send $'" + src + "/two\\nlines.txt' -> $'/docs/two\\nlines.txt'\n"), std::string::npos)
      << plan.out;
  EXPECT_NE(plan.out.find("send '" + src + "/it'\\''s.txt' -> '/docs/it'\\''s.txt'\n"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("send " + src + "/a.txt -> /docs/a.txt\n"), std::string::npos) << plan.out;
  // One line an action, and the run does those actions (the link cannot carry a line feed
  // in a name).
  std::remove((src + "/two\nlines.txt").c_str());
  plan = sh(z + " sync -n --delete \"" + src + "\" :/docs");
  ASSERT_EQ(plan.status, 0) << plan.out;
  auto starting = [](const std::string &text, const std::string &word) {
    int n = 0;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
      n += text.compare(at, word.size(), word) == 0;
      if (text.find('\n', at) == std::string::npos) break;
    }
    return n;
  };
  size_t mark = h.requests();
  Shell run = sh(z + " sync --delete \"" + src + "\" :/docs");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(starting(plan.out, "send "), h.count("fput", mark)) << plan.out;
  EXPECT_EQ(starting(plan.out, "mkdir "), h.count("mkdir", mark)) << plan.out;
  EXPECT_EQ(starting(plan.out, "delete "), starting(run.out, "deleted ")) << plan.out << run.out;
  EXPECT_EQ(starting(plan.out, "delete "), 2) << plan.out;
  EXPECT_EQ(read_file(h.root + "/docs/it's.txt"), "y");
}

TEST_F(ZrlinkSync, WhatCannotBeReadInTheSourceIsNotDeleted) {
  std::system(("mkdir -p '" + src + "/photos' && echo p > '" + src + "/photos/p.jpg'").c_str());
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/backup").status, 0);

  // photos becomes a link to a folder that is not there (a stick not plugged in).
  std::system(("rm -r '" + src + "/photos' && ln -s /nonexistent/stick '" + src + "/photos'").c_str());
  WriteFile(src + "/a.txt", "edited file\n");
  Shell followed = sh(z + " -q sync -L --delete \"" + src + "\" :/backup");
  EXPECT_EQ(followed.status, 1) << followed.out;
  EXPECT_NE(followed.out.find(src + "/photos"), std::string::npos) << followed.out;
  EXPECT_EQ(read_file(h.root + "/backup/photos/p.jpg"), "p\n");
  EXPECT_EQ(read_file(h.root + "/backup/a.txt"), "edited file\n") << "the other copies go on";
  const std::string now = tree(h.root + "/backup");
  // Without -L the link is skipped, and what DST has of that name stays too.
  Shell skipped = sh(z + " -q sync --delete \"" + src + "\" :/backup");
  EXPECT_EQ(skipped.status, 0) << skipped.out;
  EXPECT_NE(skipped.out.find("skipping the symbolic link " + src + "/photos"), std::string::npos) << skipped.out;
  EXPECT_EQ(tree(h.root + "/backup"), now);

  // A folder that can be read but not searched, without the capabilities that pass over
  // file permissions: its entries cannot be looked at, so nothing in it is deleted.
  ASSERT_EQ(sh("chmod 0644 \"" + src + "/sub\"").status, 0);
  Shell locked =
      sh("setpriv --bounding-set -dac_override,-dac_read_search " + z + " -q sync --delete \"" + src + "\" :/backup");
  sh("chmod 0755 \"" + src + "/sub\"");
  EXPECT_EQ(locked.status, 1) << locked.out;
  EXPECT_NE(locked.out.find(src + "/sub/b.txt"), std::string::npos) << locked.out;
  EXPECT_EQ(tree(h.root + "/backup"), now);
  // One that cannot be listed at all: its copy stays whole, and the others go on.
  WriteFile(src + "/a.txt", "edited again\n");
  ASSERT_EQ(sh("chmod 0 \"" + src + "/sub\"").status, 0);
  Shell unlisted =
      sh("setpriv --bounding-set -dac_override,-dac_read_search " + z + " -q sync --delete \"" + src + "\" :/backup");
  sh("chmod 0755 \"" + src + "/sub\"");
  EXPECT_EQ(unlisted.status, 1) << unlisted.out;
  EXPECT_NE(unlisted.out.find("nothing in /backup/sub is deleted or copied"), std::string::npos) << unlisted.out;
  EXPECT_EQ(read_file(h.root + "/backup/a.txt"), "edited again\n");
  EXPECT_EQ(read_file(h.root + "/backup/sub/b.txt"), std::string(3000, 'b'));
}

TEST_F(ZrlinkSync, AListingCutShortDeletesNothingOnTheHost) {
  for (int i = 0; i < 12; ++i) WriteFile(h.root + "/docs/file" + std::to_string(i) + ".txt", "content");
  const std::string back = host.path() + "/back";
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  const std::string before = tree(back);
  // The handheld closes each listing after so many bytes: entries are lost, between two
  // of them or inside one.
  for (const char *cut : {"60", "150", "300", "333"}) {
    auto cutting = faulty({"--fault-cmd", "dir", "--close-after", cut});
    Shell r = sh(zrlink_for(*cutting) + " -q sync --delete :/docs \"" + back + "\"");
    EXPECT_EQ(r.status, 1) << cut << ": " << r.out;
    EXPECT_EQ(tree(back), before) << cut << ": " << r.out;
  }
  // What the handheld really lacks still goes.
  std::remove((h.root + "/docs/file3.txt").c_str());
  Shell r = sh(z + " -q sync --delete :/docs \"" + back + "\"");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(back + "/file3.txt"), "<missing>");
}

// A handheld that lists one name many times: the listings are still compared, and its file
// arrives whole.
TEST_F(ZrlinkSync, ANameListedManyTimesStillArrivesWhole) {
  WriteFile(h.root + "/a", "whole");
  std::string listing = "0\\n";
  for (int i = 0; i < 40; ++i) listing += "a\\nsize=5\\ntime=1\\ntype=0\\nbits=420\\n\\n";
  auto repeating = faulty({"--fault-cmd", "dir", "--reply", listing});
  Shell r = sh(zrlink_for(*repeating) + " -q sync :/ \"" + host.path() + "/back\"");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(host.path() + "/back/a"), "whole");
}

TEST_F(ZrlinkSync, AListingCutShortReplacesNothingOnTheHandheld) {
  // The handheld's copy is newer than the host's and of the same size: nothing to send.
  std::system(("mkdir -p '" + h.root + "/notes' '" + host.path() + "/notes'").c_str());
  WriteFile(h.root + "/notes/todo.txt", "the handheld's edit");
  WriteFile(host.path() + "/notes/todo.txt", "the host's old text");
  ASSERT_EQ(sh("touch -d \"-1 hour\" \"" + host.path() + "/notes/todo.txt\"").status, 0);
  // Every listing ends right after its status line, so the file looks absent.
  auto cutting = faulty({"--fault-cmd", "dir", "--close-after", "2"});
  Shell r = sh(zrlink_for(*cutting) + " -q sync \"" + host.path() + "/notes\" :/notes");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(h.root + "/notes/todo.txt"), "the handheld's edit");
}

TEST_F(ZrlinkSync, LinksInTheDestinationAreReplacedNotFollowed) {
  const std::string back = host.path() + "/back", elsewhere = host.path() + "/elsewhere";
  std::system(("mkdir -p '" + back + "' '" + elsewhere + "' '" + h.root + "/docs/photos'").c_str());
  WriteFile(elsewhere + "/keep.jpg", "keep");
  WriteFile(host.path() + "/settings.real", "the user's settings");
  WriteFile(h.root + "/docs/photos/new.jpg", "new");
  WriteFile(h.root + "/docs/settings.cfg", "the handheld's settings");
  std::system(
      ("ln -s ../elsewhere '" + back + "/photos' && ln -s ../settings.real '" + back + "/settings.cfg'").c_str());

  Shell plan = sh(z + " sync -n --delete :/docs \"" + back + "\"");
  EXPECT_EQ(plan.status, 0) << plan.out;
  EXPECT_NE(plan.out.find("delete " + back + "/settings.cfg\n"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("delete " + back + "/photos\n"), std::string::npos) << plan.out;
  Shell r = sh(z + " -q sync --delete :/docs \"" + back + "\"");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(elsewhere + "/keep.jpg"), "keep");
  EXPECT_EQ(read_file(host.path() + "/settings.real"), "the user's settings");
  EXPECT_EQ(tree(back), tree(h.root + "/docs"));
  EXPECT_EQ(read_file(back + "/settings.cfg"), "the handheld's settings");
}

TEST_F(ZrlinkSync, SignalsStopTheDeletions) {
  std::system(("mkdir -p '" + h.root + "/trash' '" + host.path() + "/empty'").c_str());
  for (int i = 0; i < 30; ++i) WriteFile(h.root + "/trash/f" + std::to_string(i), "x");
  auto slow = faulty({"--fault-cmd", "fdel", "--delay", "200"});
  // SIGTERM a second into the deletions (some 6 s in all): the run stops within a second.
  Shell r = sh("start=$(date +%s%N); " + zrlink_for(*slow) + " -q sync --delete \"" + host.path() +
                   "/empty\" :/trash & pid=$!; sleep 1; kill -TERM $pid; wait $pid; "
                   "echo exit=$? ms=$((($(date +%s%N) - start) / 1000000))",
               20);
  EXPECT_NE(r.out.find("exit=143"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stopped after"), std::string::npos) << r.out;
  size_t ms = r.out.find("ms=");
  ASSERT_NE(ms, std::string::npos) << r.out;
  EXPECT_LT(std::stoi(r.out.substr(ms + 3)), 2500) << r.out;
  int left = std::stoi(sh("ls \"" + h.root + "/trash\" | wc -l").out);
  EXPECT_GT(left, 10) << r.out;
}

TEST_F(ZrlinkSync, AFetchOfAnotherSizeThanListedKeepsTheHostCopy) {
  WriteFile(h.root + "/docs/big.bin", std::string(50000, 'g'));
  const std::string back = host.path() + "/back";
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  WriteFile(h.root + "/docs/big.bin", std::string(50000, 'n'));
  ASSERT_EQ(sh("touch -d \"+1 hour\" \"" + h.root + "/docs/big.bin\"").status, 0);
  WriteFile(h.root + "/docs/fresh.bin", std::string(50000, 'f'));

  auto lying = faulty({"--fault-cmd", "fget", "--xfer-size", "1000"});
  const std::string zl = zrlink_for(*lying);
  struct stat had, has;
  ASSERT_EQ(stat((back + "/big.bin").c_str(), &had), 0);
  Shell r = sh(zl + " -q sync --keep-going :/docs \"" + back + "\"");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("the handheld announced 1000 bytes for a file listed with 50000"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(back + "/big.bin"), std::string(50000, 'g'));
  ASSERT_EQ(stat((back + "/big.bin").c_str(), &has), 0);
  EXPECT_EQ(has.st_mtime, had.st_mtime) << "the copy that was kept keeps its own time too";
  EXPECT_EQ(read_file(back + "/fresh.bin"), "<missing>");
  // pull goes through the same transfers.
  Shell pull = sh(zl + " -q pull /docs/big.bin \"" + back + "/big.bin\"");
  EXPECT_EQ(pull.status, 1) << pull.out;
  EXPECT_EQ(read_file(back + "/big.bin"), std::string(50000, 'g'));
  EXPECT_EQ(sh("ls -A \"" + back + "\" | grep -c zrlink").out, "0\n") << "nothing is left beside the file";
  // The next sync with a truthful handheld fetches both.
  ASSERT_EQ(sh(z + " -q sync :/docs \"" + back + "\"").status, 0);
  EXPECT_EQ(read_file(back + "/big.bin"), std::string(50000, 'n'));
}

TEST_F(ZrlinkSync, ChangesAreSeenWhateverTheClocksSay) {
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  // An edit of the same size an hour "before" the handheld's time of the file (its clock
  // runs ahead of the host's).
  WriteFile(src + "/a.txt", "FIRST FILE\n");
  ASSERT_EQ(sh("touch -d \"-1 hour\" \"" + src + "/a.txt\"").status, 0);
  Shell plan = sh(z + " sync -n \"" + src + "\" :/docs");
  EXPECT_EQ(plan.out, "send " + src + "/a.txt -> /docs/a.txt\n");
  size_t mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(h.count("fput", mark), 1);
  EXPECT_EQ(read_file(h.root + "/docs/a.txt"), "FIRST FILE\n");
  // A change on the handheld's side (its time) is seen too; an unchanged tree moves nothing,
  // and damaged lines in the record are passed over.
  ASSERT_EQ(sh("touch -d \"+2 hours\" \"" + h.root + "/docs/sub/b.txt\"").status, 0);
  mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(h.count("fput /docs/sub/b.txt", mark), 1);
  ASSERT_EQ(sh("for f in \"" + host.path() +
               "\"/state/zrlink/sync-*; do echo \"12 x\" >> \"$f\"; "
               "printf \"junk\\n3 4\" >> \"$f\"; done")
                .status,
            0);
  mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync \"" + src + "\" :/docs").status, 0);
  EXPECT_EQ(h.count("fput", mark), 0);

  // The record holds host paths with a tab, a line feed or a backslash in them as they are:
  // the same edit in such a folder is seen as well.
  const std::string odd = host.path() + "/odd\tname\\with\nbreak";
  host_tree(odd);
  setenv("ZR_ODD", odd.c_str(), 1);
  ASSERT_EQ(sh(z + " -q sync \"$ZR_ODD\" :/odd").status, 0);
  WriteFile(odd + "/sub/b.txt", std::string(3000, 'B'));
  ASSERT_EQ(sh("touch -d \"-1 hour\" \"$ZR_ODD/sub/b.txt\"").status, 0);
  mark = h.requests();
  ASSERT_EQ(sh(z + " -q sync \"$ZR_ODD\" :/odd").status, 0);
  EXPECT_EQ(h.count("fput", mark), 1);
  EXPECT_EQ(read_file(h.root + "/odd/sub/b.txt"), std::string(3000, 'B'));
  unsetenv("ZR_ODD");

  // The record's name takes from the handheld's serial only what is safe in a file name.
  auto odd_serial = faulty({"--set", "eid=../A/B:C"});
  ASSERT_EQ(sh(zrlink_for(*odd_serial) + " -q sync \"" + src + "\" :/docs/o").status, 0);
  Shell ls = sh("cd \"" + host.path() + "/state/zrlink\" && ls");
  EXPECT_NE(ls.out.find("sync-.._A_B_C"), std::string::npos) << ls.out;
}

TEST_F(ZrlinkSync, SymbolicLinksInTheSourceAreSkippedOrFollowedOnce) {
  std::system(
      ("ln -s . '" + src + "/loop' && ln -s ../.. '" + src + "/sub/deep/up' && ln -s a.txt '" + src + "/alias.txt'")
          .c_str());
  size_t mark = h.requests();
  Shell skipped = sh(z + " -q sync \"" + src + "\" :/docs/s");
  EXPECT_EQ(skipped.status, 0) << skipped.out;
  EXPECT_NE(skipped.out.find("skipping the symbolic link " + src + "/loop"), std::string::npos) << skipped.out;
  EXPECT_EQ(h.count("mkdir", mark), 3) << skipped.out;  // s, sub, deep
  EXPECT_EQ(read_file(h.root + "/docs/s/alias.txt"), "<missing>");

  mark = h.requests();
  Shell followed = sh(z + " -q sync -L \"" + src + "\" :/docs/l");
  EXPECT_EQ(followed.status, 0) << followed.out;
  EXPECT_EQ(h.count("mkdir", mark), 3) << followed.out;
  EXPECT_NE(followed.out.find("a link leads back to a folder already synced"), std::string::npos) << followed.out;
  EXPECT_EQ(read_file(h.root + "/docs/l/alias.txt"), "first file\n");
}

}  // namespace
