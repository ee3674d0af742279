// What the runs cannot reach: how DiskFile refuses what it must not do.
#include <gtest/gtest.h>

#include "file/disk_file.h"
#include "tests/harness.h"

namespace korvat {
namespace {

TEST(DiskFile, RefusesWhatItMustNotDo) {
  test::TempDir dir;
  char byte;
  EXPECT_EQ(DiskFile(dir.dir(), Disposition::OpenExisting).error(), FileError::OpenFailed);  // a directory
  DiskFile writer(dir.path("new"), Disposition::CreateNew);
  EXPECT_EQ(writer.read(&byte, 1), 0u);
  EXPECT_EQ(writer.error(), FileError::NotPermitted);
  EXPECT_FALSE(writer.seekCur(-1));  // before the start
  EXPECT_EQ(writer.error(), FileError::SeekRefused);
  // No sharing: a second opener fails while this one holds the file.
  EXPECT_EQ(DiskFile(dir.path("new"), Disposition::OpenExisting).error(), FileError::OpenFailed);
  EXPECT_EQ(writer.write("0123456789", 10), 10u);
  EXPECT_TRUE(writer.close());
  EXPECT_FALSE(writer.seekCur(0));
  EXPECT_EQ(writer.error(), FileError::NotPermitted);

  DiskFile reader(dir.path("new"), Disposition::OpenExisting);
  EXPECT_EQ(reader.write("x", 1), 0u);
  EXPECT_EQ(reader.error(), FileError::NotPermitted);
  EXPECT_EQ(reader.read(&byte, 1), 1u);
  EXPECT_EQ(reader.size(), 10u);
}

}  // namespace
}  // namespace korvat
