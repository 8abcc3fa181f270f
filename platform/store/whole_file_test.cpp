#include "platform/store/whole_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "platform/fault_seam.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

class WholeFileTest : public ::testing::Test {
 protected:
  // The file's bytes, nothing, or why it could not be read.
  std::string read(const fs::path& path) {
    Result<std::optional<std::string>> got = readRegularFile(path);
    if (!got.ok()) return "error: " + got.status().message();
    return got.value() ? "[" + *got.value() + "]" : "nothing";
  }

  TempFolder temp_;
  std::filesystem::path folder_ = temp_.path();
};

// Each step can fail; none is ever reported as done, and the old file stays whole.
TEST_F(WholeFileTest, AFailedStepFailsTheWriteAndLeavesTheOldFileAndNoTemporary) {
  const fs::path path = folder_ / "export.json";
  // The failing call, how many calls of its kind still succeed, and the file left.
  for (auto [call, skip, left] : {std::tuple{FileCall::open, 0, "[old]"},
                                  {FileCall::write, 0, "[old]"},
                                  {FileCall::fsync, 0, "[old]"},
                                  {FileCall::rename, 0, "[old]"},
                                  {FileCall::fsync, 1, "[new]"}}) {  // the folder's sync, after the rename
    ASSERT_TRUE(writeFileAtomically(path, "old").ok());
    FaultPlan plan;
    plan.fail(call, EIO, "", 1, skip);
    Status written = writeFileAtomically(path, "new");
    const bool named = written.message().find(path.string()) != std::string::npos &&
                       written.message().find(std::strerror(EIO)) != std::string::npos;
    EXPECT_EQ(std::to_string(!written.ok() && named) + read(path) + " " + fileNames(folder_),
              "1" + std::string(left) + " export.json")
        << "failing call " << static_cast<int>(call) << " after " << skip << ": " << written.message();
  }
}

// A read never waits on a FIFO; a write replaces a file only, whole, private whatever the umask; whatever
// else stands there stays, and no temporary is left.
TEST_F(WholeFileTest, AReadTakesOnlyARegularFileAndAWriteReplacesItWholePrivately) {
  ASSERT_EQ(::mkfifo((folder_ / "fifo").c_str(), 0600), 0);
  fs::create_directories(folder_ / "folder" / "inside");
  const int overOthers =
      writeFileAtomically(folder_ / "fifo", "v").ok() + writeFileAtomically(folder_ / "folder", "v").ok();
  mode_t before = ::umask(0);
  Status first = writeFileAtomically(folder_ / "file", std::string("one\0two", 7));
  Status second = writeFileAtomically(folder_ / "file", "");
  ::umask(before);
  ASSERT_TRUE(first.ok() && second.ok()) << first.message() << second.message();
  EXPECT_EQ(std::to_string(overOthers) + read(folder_ / "fifo") + " | " +
                read(folder_ / "folder").substr(0, 7) + " | " + read(folder_ / "absent") + " | " +
                read(folder_ / "file") + " " + fileNames(folder_),
            "0error: cannot read \"" + (folder_ / "fifo").string() +
                "\": it is a FIFO, not a regular file | error:  | nothing | [] fifo file folder");
  EXPECT_EQ(fs::status(folder_ / "file").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  FaultPlan plan;
  plan.fail(FileCall::read, EIO, "file");
  EXPECT_EQ(read(folder_ / "file"),
            "error: cannot read \"" + (folder_ / "file").string() + "\": " + std::strerror(EIO));
}

}  // namespace
}  // namespace quillbox
