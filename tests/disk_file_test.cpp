// What the runs cannot reach: DiskFile's edges one by one.
#include <gtest/gtest.h>

#include "file/disk_file.h"
#include "tests/harness.h"

namespace korvat {
namespace {

using test::TempDir;

TEST(DiskFile, OpensOnlyWhatItMay) {
  TempDir dir;
  dir.write("old", "keep me");
  char byte;
  DiskFile missing(dir.path("none"), Disposition::OpenExisting);
  EXPECT_EQ(missing.error(), FileError::OpenFailed);
  EXPECT_EQ(missing.read(&byte, 1), 0u);
  EXPECT_EQ(missing.error(), FileError::NotPermitted);
  EXPECT_FALSE(missing.seekCur(0));
  EXPECT_EQ(DiskFile(dir.dir(), Disposition::OpenExisting).error(), FileError::OpenFailed);  // a directory
  EXPECT_EQ(DiskFile(dir.path("old"), Disposition::CreateNew).error(), FileError::OpenFailed);
  EXPECT_EQ(dir.read("old"), "keep me");
  {
    DiskFile writer(dir.path("new"), Disposition::CreateNew);
    EXPECT_EQ(writer.read(&byte, 1), 0u);
    EXPECT_EQ(writer.error(), FileError::NotPermitted);
    EXPECT_EQ(writer.write("0123456789", 10), 10u);
    // No sharing: a second opener fails while this one holds the file.
    EXPECT_EQ(DiskFile(dir.path("new"), Disposition::OpenExisting).error(), FileError::OpenFailed);
    EXPECT_TRUE(writer.close());
  }
  DiskFile reader(dir.path("new"), Disposition::OpenExisting);
  EXPECT_EQ(reader.write("x", 1), 0u);
  EXPECT_EQ(reader.error(), FileError::NotPermitted);
  EXPECT_EQ(reader.size(), 10u);
}

TEST(DiskFile, ShortReadsAndTheEndOfInput) {
  TempDir dir;
  dir.write("ten", "0123456789");
  dir.write("empty", "");
  DiskFile file(dir.path("ten"), Disposition::OpenExisting);
  char buffer[16] = {};
  EXPECT_EQ(file.read(buffer, 0), 0u);
  EXPECT_EQ(file.error(), FileError::Ok);
  EXPECT_FALSE(file.seekCur(-1));  // before the start
  EXPECT_EQ(file.error(), FileError::SeekRefused);
  EXPECT_FALSE(reachedEndOfInput(file));
  EXPECT_TRUE(file.seekCur(7));
  EXPECT_EQ(file.read(buffer, 4), 3u);
  EXPECT_EQ(file.error(), FileError::ShortRead);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_TRUE(reachedEndOfInput(file));
  EXPECT_TRUE(file.seekCur(100));  // past the end is allowed
  EXPECT_EQ(file.tell(), 110u);
  EXPECT_EQ(file.read(buffer, 1), 0u);
  EXPECT_TRUE(reachedEndOfInput(file));

  DiskFile empty(dir.path("empty"), Disposition::OpenExisting);
  EXPECT_EQ(empty.read(buffer, 1), 0u);
  EXPECT_EQ(empty.error(), FileError::ShortRead);
  EXPECT_FALSE(reachedEndOfInput(empty));  // it held nothing to read
}

TEST(DiskFile, CopyToWritesThePartialChunkToo) {
  TempDir dir;
  const std::string source = test::filler(40000);
  dir.write("src", source);
  {
    DiskFile from(dir.path("src"), Disposition::OpenExisting);
    DiskFile to(dir.path("dst"), Disposition::CreateNew);
    EXPECT_TRUE(from.copyTo(to, 0));
    EXPECT_EQ(from.tell(), 0u);
    EXPECT_FALSE(from.copyTo(to, 70000));
    EXPECT_EQ(from.error(), FileError::ShortRead);
    EXPECT_EQ(to.error(), FileError::Ok);
  }
  EXPECT_TRUE(dir.read("dst") == source);
}

}  // namespace
}  // namespace korvat
