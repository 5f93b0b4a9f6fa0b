// The tools started the way a careless user or an unlucky machine starts
// them: closed descriptors, signals, limits, an output over an input, other
// users' files. None may corrupt data silently, leave a stray file or
// report a failure as success.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "tests/support/run_program.h"

namespace {

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testrun::make_temp_dir(); }
  void TearDown() override { testrun::remove_tree(dir_); }
  static std::string tool(const std::string& name) {
    return std::string(TOM_BINARY_DIR) + "/bin/" + name;
  }
  testrun::Result run(const std::string& command) { return testrun::run(dir_, command, ""); }
  std::string listing() { return run("ls -A").out; }
  void save(const std::string& name, const std::vector<float>& v) {
    tomio::save_float_image(dir_ + "/" + name, v.data(), v.size());
  }
  // The shell's own status line, so that a death by a signal shows as 128 + n.
  static std::string with_status(const std::string& command) { return command + "; echo \"status $?\""; }
  // Runs a command as the unprivileged user "nobody" (the tests of what
  // other users' files and folders allow need a user that root is not).
  static bool can_switch_user() {
    return geteuid() == 0 && std::system("command -v setpriv >/dev/null 2>&1") == 0;
  }
  static std::string as_nobody(const std::string& command) {
    return "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '" + command + "'";
  }
  std::string dir_;
};

// 1. A closed standard descriptor is not handed to the output file.
TEST_F(Reliability, ClosedStandardDescriptorsNeverReceiveTheData) {
  // The ball reaches outside the traced box, so a warning is written to
  // standard error: with descriptor 2 closed it must not land in the file.
  const auto r = run(with_status(tool("tomphantom") + " ball --centre 60,0,0 --radius 10 b.img 2>&- >&- <&-"));
  EXPECT_NE(r.out.find("status 0"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(testrun::file_size(dir_ + "/b.img"), 8388608);
  // A binary output on the file of the console text is refused.
  save("a.img", std::vector<float>(scan::kVolumeSamples, 1.0f));
  save("b2.img", std::vector<float>(scan::kVolumeSamples, 2.0f));
  const auto mixed = run("(" + tool("tomcompare") + " --diff-out /dev/stdout a.img b2.img | cat)");
  EXPECT_NE(mixed.err.find("standard output"), std::string::npos) << mixed.err;
  EXPECT_EQ(mixed.out, "");
  // A tool whose standard output carries no text may write its data there.
  const auto piped = run("(" + tool("tomphantom") + " ones /dev/stdout | wc -c)");
  EXPECT_EQ(piped.out, "8388608\n") << piped.err;
  EXPECT_NE(run(tool("tomphantom") + " ones /dev/stderr").err.find("standard error"), std::string::npos);
}

// 3. Every signal that ends the run removes its temporary file and ends
// the process by the same signal.
TEST_F(Reliability, EndingSignalsLeaveNoTemporaryFileAndAreRaisedAgain) {
  // Writing past the file-size limit raises SIGXFSZ (25).
  auto r = run(with_status("ulimit -f 1000; " + tool("tomphantom") + " ones big.img 2>/dev/null"));
  EXPECT_NE(r.out.find("status 153"), std::string::npos) << r.out;
  EXPECT_EQ(listing(), "");
  // SIGUSR1 (10) while the rebinning works: the output is claimed first.
  save("in.img", std::vector<float>(scan::kStackSamples, 1.0f));
  r = run(with_status("(" + tool("tomrebin") + " --threads 1 in.img out.img & p=$!; "
                      "for i in $(seq 1000); do ls -A | grep -q part && break; sleep 0.01; done; "
                      "kill -USR1 $p; wait $p)"));
  EXPECT_NE(r.out.find("status 138"), std::string::npos) << r.out;
  EXPECT_EQ(listing(), "in.img\n");
}

// 3. A temporary that a killed run left (SIGKILL cannot be caught) is
// removed by the next run that claims the same target, and only that one.
TEST_F(Reliability, AKilledRunsLeftoverIsRemovedByTheNextRun) {
  run("touch -d '1 hour ago' .v.img.part-AbC123 .w.img.part-AbC123 .v.img.part-AbC1234");
  ASSERT_EQ(run(tool("tomphantom") + " ones v.img").status, 0);
  EXPECT_EQ(listing(), ".v.img.part-AbC1234\n.w.img.part-AbC123\nv.img\n");
}

// 5. With the file-size limit's signal ignored, the room that cannot be had
// is found when the output is claimed, before the work.
TEST_F(Reliability, NoRoomForTheOutputIsFoundBeforeTheWork) {
  save("in.img", std::vector<float>(scan::kStackSamples, 1.0f));
  const auto r = run("trap '' XFSZ; ulimit -f 20000; " + tool("tomrebin") + " in.img out.img");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no room for out.img"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("views"), std::string::npos) << "the work started: " << r.err;
  EXPECT_EQ(listing(), "in.img\n");
}

// 6. No output replaces a file that the same run reads.
TEST_F(Reliability, AnOutputThatIsAnInputIsAUsageErrorAndTouchesNothing) {
  save("h.img", std::vector<float>(scan::kVolumeSamples, 1.0f));
  save("k.img", std::vector<float>(scan::kVolumeSamples, 2.0f));
  run("ln -s h.img link.img");
  const std::string before = testrun::read_file(dir_ + "/h.img");
  for (const std::string& command :
       {tool("tompng") + " h.img h.img", tool("tompng") + " h.img link.img",
        tool("tomcompare") + " --diff-out h.img h.img k.img",
        tool("tomcompare") + " --fitted-out link.img k.img h.img",
        tool("tomcompare") + " --diff-out d.img --fitted-out d.img k.img h.img",
        tool("tomrebin") + " h.img ./h.img", tool("tommhd") + " --output h.img h.img"}) {
    const auto r = run(command);
    EXPECT_EQ(r.status, 2) << command << "\n" << r.err;
    EXPECT_EQ(testrun::read_file(dir_ + "/h.img"), before) << command;
  }
  EXPECT_EQ(listing(), "h.img\nk.img\nlink.img\n");
}

// 7. tomcompare: 2 for every file error, the report still printed; figures
// that are not defined are nan / null, not 0.
TEST_F(Reliability, CompareSaysWhatIsUndefinedAndFailsWithTwo) {
  std::vector<float> zeros(scan::kVolumeSamples, 0.0f);
  save("z.img", zeros);
  save("z2.img", zeros);
  save("nan.img", std::vector<float>(scan::kVolumeSamples, std::nanf("")));
  zeros[5] = 1.0f;
  save("z5.img", zeros);
  const std::string compare = tool("tomcompare") + " --no-fail ";
  auto r = run(compare + "--format kv z.img nan.img");
  EXPECT_NE(r.out.find("whole.rmse=nan\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("whole.max_abs_difference=nan\n"), std::string::npos);
  EXPECT_NE(r.out.find("whole.non_finite=2097152\n"), std::string::npos);
  r = run(compare + "--format json z.img nan.img");
  EXPECT_NE(r.out.find("\"rmse\": null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"max_at_voxel\": null"), std::string::npos);
  // Pearson r of a constant input is undefined; identical files are still identical.
  r = run(compare + "--format kv z.img z2.img");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("whole.pearson_r=nan\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("whole.rmse=0\n"), std::string::npos);
  // A sample that is not finite may be left out on request.
  r = run(compare + "--format kv --finite-only z5.img nan.img");
  EXPECT_NE(r.out.find("whole.non_finite=2097152\n"), std::string::npos);
  // An extra output that fails at the end: the report, then status 2.
  r = run(tool("tomcompare") + " --format kv --residual-out /dev/full z.img z5.img");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("identical=0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("/dev/full"), std::string::npos);
  EXPECT_EQ(run(tool("tomcompare") + " --residual-out no/dir/r.img z.img z5.img").status, 2);
  EXPECT_EQ(run(tool("tomcompare") + " z.img missing.img").status, 2);
}

// 8. Values written as float32 must fit it; thread counts are capped; names
// that would inject a line are refused.
TEST_F(Reliability, QuietGarbageIsRefusedOrNoted) {
  for (const char* args : {"ones --value 1e39 x.img", "ball --centre 0,0,0 --radius 5 --value -4e38 x.img",
                           "random --seed 1 --range 0,1e39 x.img", "random --seed 1 --range 1,1.00000001 x.img"}) {
    EXPECT_EQ(run(tool("tomphantom") + " " + args).status, 2) << args;
  }
  EXPECT_EQ(run(tool("tomphantom") + " ball --centre 0,0,0 --radius 5 --value 3.4e38 x.img").status, 0);
  save("in.img", std::vector<float>(scan::kStackSamples, 0.0f));
  const auto r = run(tool("tomrebin") + " --threads 999999 in.img out.img");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("note: --threads 999999 is more than"), std::string::npos) << r.err;
  const auto mhd = run(tool("tommhd") + " --output h.mhd \"$(printf 'x.img\\nElementType = MET_CHAR')\"");
  EXPECT_EQ(mhd.status, 2) << mhd.err;
  EXPECT_FALSE(testrun::exists(dir_ + "/h.mhd"));
}

// 9. What a user's permissions mean is kept: a read-only file is refused, a
// file the user may write but not replace is written in place, and a
// replacement keeps the mode and the owner.
TEST_F(Reliability, PermissionsKeepTheirMeaning) {
  if (!can_switch_user()) GTEST_SKIP() << "needs root and setpriv to act as another user";
  const std::string phantom = tool("tomphantom");
  run("chmod 755 . && mkdir mine theirs sticky && chown nobody mine && chmod 1777 sticky");
  // Read-only, the user's own, in the user's own folder: refused, kept.
  auto r = run(as_nobody(phantom + " ones mine/ro.img && chmod 444 mine/ro.img && " + phantom +
                         " voxel --index 9,9,9 mine/ro.img"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("mine/ro.img"), std::string::npos) << r.err;
  EXPECT_EQ(testrun::file_size(dir_ + "/mine/ro.img"), 8388608);
  // A writable file in a folder the user cannot write: written in place.
  run(phantom + " voxel --index 9,9,9 theirs/w.img && chmod 666 theirs/w.img");
  r = run(as_nobody(phantom + " ones theirs/w.img"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("written in place"), std::string::npos);
  std::vector<float> w(scan::kVolumeSamples);
  tomio::load_float_image(dir_ + "/theirs/w.img", w.data(), w.size());
  EXPECT_EQ(w[0], 1.0f);
  // Another user's writable file in a sticky folder: written in place, its
  // owner kept, instead of a rename that would fail after the work.
  run(phantom + " voxel --index 9,9,9 sticky/root.img && chmod 666 sticky/root.img");
  r = run(as_nobody(phantom + " ones sticky/root.img"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run("stat -c %U sticky/root.img").out, "root\n");
  // root replacing the user's file keeps its owner and mode.
  run("chmod 640 mine/ro.img");
  ASSERT_EQ(run(phantom + " ones mine/ro.img").status, 0);
  EXPECT_EQ(run("stat -c '%U %a' mine/ro.img").out, "nobody 640\n");
  EXPECT_EQ(run("ls -A mine theirs sticky | grep -c part").out, "0\n");
}

}  // namespace
