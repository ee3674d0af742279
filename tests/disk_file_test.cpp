// What the end-to-end runs cannot reach: DiskFile's edges one by one.
#include <gtest/gtest.h>

#include "file/disk_file.h"
#include "tests/harness.h"

namespace korvat {
namespace {

using test::TempDir;

TEST(DiskFile, OpenDispositionsAndModes) {
  TempDir dir;
  dir.write("old", "keep me");

  DiskFile missing(dir.path("none"), Disposition::OpenExisting);
  EXPECT_EQ(missing.error(), FileError::OpenFailed);
  char byte;
  EXPECT_EQ(missing.read(&byte, 1), 0u);
  EXPECT_EQ(missing.error(), FileError::NotPermitted);
  EXPECT_EQ(missing.tell(), UINT64_MAX);
  EXPECT_FALSE(missing.seekCur(0));

  {
    DiskFile createNew(dir.path("old"), Disposition::CreateNew);
    EXPECT_EQ(createNew.error(), FileError::OpenFailed);
  }
  EXPECT_EQ(dir.read("old"), "keep me");

  {
    DiskFile writer(dir.path("new"), Disposition::CreateNew);
    EXPECT_EQ(writer.error(), FileError::Ok);
    EXPECT_EQ(writer.size(), 0u);
    EXPECT_EQ(writer.read(&byte, 1), 0u);
    EXPECT_EQ(writer.error(), FileError::NotPermitted);
    EXPECT_EQ(writer.write("0123456789", 10), 10u);
    // No sharing: a second opener fails while this one holds the file.
    DiskFile second(dir.path("new"), Disposition::OpenExisting);
    EXPECT_EQ(second.error(), FileError::OpenFailed);
  }
  DiskFile reader(dir.path("new"), Disposition::OpenExisting);
  ASSERT_EQ(reader.error(), FileError::Ok);
  EXPECT_EQ(reader.write("x", 1), 0u);
  EXPECT_EQ(reader.error(), FileError::NotPermitted);

  DiskFile directory(dir.dir(), Disposition::OpenExisting);
  EXPECT_EQ(directory.error(), FileError::OpenFailed);
}

TEST(DiskFile, ReadsSeeksAndEnd) {
  TempDir dir;
  dir.write("ten", "0123456789");
  dir.write("empty", "");
  DiskFile file(dir.path("ten"), Disposition::OpenExisting);
  char buffer[16] = {};

  EXPECT_EQ(file.read(buffer, 0), 0u);
  EXPECT_EQ(file.error(), FileError::Ok);
  EXPECT_FALSE(file.seekCur(-1));  // before the start
  EXPECT_EQ(file.error(), FileError::SeekRefused);
  EXPECT_TRUE(file.seekCur(8));
  EXPECT_EQ(file.error(), FileError::Ok);
  EXPECT_TRUE(file.seekCur(1));
  EXPECT_EQ(file.read(buffer, 4), 1u);
  EXPECT_EQ(file.error(), FileError::ShortRead);
  EXPECT_EQ(buffer[0], '9');
  EXPECT_TRUE(reachedEndOfInput(file));
  EXPECT_EQ(file.read(buffer, 4), 0u);
  EXPECT_EQ(file.error(), FileError::ShortRead);
  EXPECT_TRUE(file.seekCur(100));  // past the end is allowed
  EXPECT_EQ(file.tell(), 110u);
  EXPECT_EQ(file.read(buffer, 1), 0u);
  EXPECT_EQ(file.error(), FileError::ShortRead);

  DiskFile empty(dir.path("empty"), Disposition::OpenExisting);
  EXPECT_EQ(empty.read(buffer, 1), 0u);
  EXPECT_FALSE(reachedEndOfInput(empty));  // an empty file is never at its end
}

TEST(DiskFile, CopyToCountsWholeChunksOnly) {
  TempDir dir;
  const std::string source = test::filler(40000);
  dir.write("src", source);
  {
    DiskFile from(dir.path("src"), Disposition::OpenExisting);
    DiskFile to(dir.path("dst"), Disposition::CreateNew);

    EXPECT_TRUE(from.copyTo(to, 0));
    EXPECT_EQ(from.tell(), 0u);
    EXPECT_EQ(to.size(), 0u);

    EXPECT_FALSE(from.copyTo(to, 70000));
    EXPECT_EQ(from.error(), FileError::ShortRead);
    EXPECT_EQ(to.error(), FileError::Ok);
  }
  EXPECT_TRUE(dir.read("dst") == source);  // the partial chunk is written all the same
}

}  // namespace
}  // namespace korvat
