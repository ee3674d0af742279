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

  DiskFile missing(dir.path("none").c_str(), FileMode::Read, false, false);
  EXPECT_EQ(missing.error(), FileError::OpenFailed);
  EXPECT_EQ(missing.openMode(), FileMode::Closed);
  char byte;
  EXPECT_EQ(missing.read(&byte, 1), 0u);
  EXPECT_EQ(missing.error(), FileError::NotPermitted);
  EXPECT_EQ(missing.tell(), DiskFile::kBadPosition);
  EXPECT_EQ(missing.seekCur(0), 1);

  {
    DiskFile createNew(dir.path("old").c_str(), FileMode::Write, true, false);
    EXPECT_EQ(createNew.error(), FileError::OpenFailed);
  }
  EXPECT_EQ(dir.read("old"), "keep me");

  {
    DiskFile writer(dir.path("old").c_str(), FileMode::Write, true, true);
    EXPECT_EQ(writer.error(), FileError::Ok);
    EXPECT_EQ(writer.size(), 0u);
    EXPECT_EQ(writer.read(&byte, 1), 0u);
    EXPECT_EQ(writer.error(), FileError::NotPermitted);
    EXPECT_EQ(writer.write("0123456789", 10), 10u);
    // No sharing: a second opener fails while this one holds the file.
    DiskFile second(dir.path("old").c_str(), FileMode::Read, false, false);
    EXPECT_EQ(second.error(), FileError::OpenFailed);
  }
  DiskFile reader(dir.path("old").c_str(), FileMode::Read, false, false);
  ASSERT_EQ(reader.error(), FileError::Ok);
  EXPECT_EQ(reader.write("x", 1), 0u);
  EXPECT_EQ(reader.error(), FileError::NotPermitted);

  DiskFile directory(dir.dir().c_str(), FileMode::Read, false, false);
  EXPECT_EQ(directory.error(), FileError::OpenFailed);
}

TEST(DiskFile, ReadsSeeksAndEnd) {
  TempDir dir;
  dir.write("ten", "0123456789");
  dir.write("empty", "");
  DiskFile file(dir.path("ten").c_str(), FileMode::Read, false, false);
  char buffer[16] = {};

  EXPECT_EQ(file.read(buffer, 0), 0u);
  EXPECT_EQ(file.error(), FileError::Ok);
  EXPECT_EQ(file.seekCur(-1), 1);  // before the start
  EXPECT_EQ(file.error(), FileError::NotPermitted);
  EXPECT_EQ(file.seekCur(8), 0);
  EXPECT_EQ(file.error(), FileError::Ok);
  EXPECT_FALSE(file.atEnd());  // position 8 of 10
  EXPECT_EQ(file.seekCur(1), 0);
  EXPECT_TRUE(file.atEnd());   // the last byte counts as the end
  EXPECT_EQ(file.read(buffer, 4), 1u);
  EXPECT_EQ(file.error(), FileError::ShortRead);
  EXPECT_EQ(buffer[0], '9');
  EXPECT_TRUE(file.atEnd());
  EXPECT_EQ(file.read(buffer, 4), 0u);
  EXPECT_EQ(file.error(), FileError::ShortRead);
  EXPECT_EQ(file.seekCur(100), 0);  // past the end is allowed
  EXPECT_EQ(file.tell(), 110u);
  EXPECT_EQ(file.read(buffer, 1), 0u);
  EXPECT_EQ(file.error(), FileError::ShortRead);

  DiskFile empty(dir.path("empty").c_str(), FileMode::Read, false, false);
  EXPECT_FALSE(empty.atEnd());  // size - 1 wraps: an empty file is never at its end
}

TEST(DiskFile, CopyToCountsWholeChunksOnly) {
  TempDir dir;
  const std::string source = test::filler(40000);
  dir.write("src", source);
  {
    DiskFile from(dir.path("src").c_str(), FileMode::Read, false, false);
    DiskFile to(dir.path("dst").c_str(), FileMode::Write, true, false);

    EXPECT_EQ(from.copyTo(to, 0), 0u);
    EXPECT_EQ(from.tell(), 0u);
    EXPECT_EQ(to.size(), 0u);

    EXPECT_EQ(from.copyTo(to, 70000), 32768u);
    EXPECT_EQ(from.error(), FileError::ShortRead);
    EXPECT_EQ(to.error(), FileError::Ok);
  }
  EXPECT_TRUE(dir.read("dst") == source);  // the partial chunk is written all the same
}

}  // namespace
}  // namespace korvat
