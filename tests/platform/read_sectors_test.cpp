#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "core/read_sectors.h"
#include "platform/sector_device.h"
#include "test_support.h"

namespace brevant {
namespace {

// A disk whose every sector holds its own number in every byte pair, so misplaced data shows.
std::string NumberedDisk(std::uint32_t sectors) {
  std::string bytes(static_cast<std::size_t>(sectors) * 512, '\0');
  for (std::uint32_t s = 0; s < sectors; ++s)
    for (int i = 0; i < 512; i += 4) test::Put32(bytes, s * 512 + i, s + 1);
  return bytes;
}

std::uint32_t SectorTag(const std::vector<unsigned char>& buf, std::size_t index) {
  const unsigned char* p = buf.data() + index * 512;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string InstallFaulty(std::uint32_t sectors, std::set<std::uint64_t> bad,
                          std::shared_ptr<platform::FaultyDevice>* out = nullptr) {
  auto inner = std::make_shared<platform::MemoryDevice>(NumberedDisk(sectors));
  auto faulty = std::make_shared<platform::FaultyDevice>(inner, std::move(bad));
  static int n = 0;
  std::string path = "faulty://" + std::to_string(n++);
  platform::DeviceTable::Instance().Install(path, faulty);
  if (out) *out = faulty;
  return path;
}

TEST(ReadSectors, WholeRunInOneRequest) {
  std::shared_ptr<platform::FaultyDevice> dev;
  std::string path = InstallFaulty(64, {}, &dev);
  std::vector<unsigned char> buf(10 * 512);
  EXPECT_EQ(ReadSectors(path, buf.data(), 5, 10), 1);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(SectorTag(buf, i), 5 + i + 1);
  EXPECT_EQ(dev->ReadCalls(), 1u);
}

TEST(ReadSectors, FailingSectorLeavesItUntouchedAndFillsTheRest) {
  std::string path = InstallFaulty(64, {12, 14});
  std::vector<unsigned char> buf(8 * 512, 0xAB);
  EXPECT_EQ(ReadSectors(path, buf.data(), 10, 8), 0);
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint64_t sector = 10 + i;
    if (sector == 12 || sector == 14) {
      EXPECT_EQ(SectorTag(buf, i), 0xABABABABu) << "sector " << sector << " must stay untouched";
    } else {
      EXPECT_EQ(SectorTag(buf, i), sector + 1) << "sector " << sector;
    }
  }
}

TEST(ReadSectors, CountZeroSucceedsWithoutTouchingTheBuffer) {
  std::string path = InstallFaulty(4, {0, 1, 2, 3});
  unsigned char byte = 0x5A;
  EXPECT_EQ(ReadSectors(path, &byte, 0, 0), 1);
  EXPECT_EQ(byte, 0x5A);
}

TEST(ReadSectors, ReadPastTheEndFillsWhatExistsAndFails) {
  std::string path = test::InstallMemoryDisk(NumberedDisk(8));
  std::vector<unsigned char> buf(4 * 512, 0xCD);
  EXPECT_EQ(ReadSectors(path, buf.data(), 6, 4), 0);
  EXPECT_EQ(SectorTag(buf, 0), 7u);
  EXPECT_EQ(SectorTag(buf, 1), 8u);
  EXPECT_EQ(SectorTag(buf, 2), 0xCDCDCDCDu);
  EXPECT_EQ(SectorTag(buf, 3), 0xCDCDCDCDu);
  // Entirely beyond the end.
  EXPECT_EQ(ReadSectors(path, buf.data(), 1000, 1), 0);
}

TEST(ReadSectors, MissingDeviceFails) {
  unsigned char buf[512] = {};
  EXPECT_EQ(ReadSectors("/nonexistent/brevant-disk.img", buf, 0, 1), 0);
}

TEST(ReadSectors, SectorBeyondTwoToThe32InASparseImage) {
  // A sparse file a little over 2 TiB: only the last sectors hold data.
  std::filesystem::path img = test::TempDir() / "sparse.img";
  const std::uint64_t sector = (1ull << 32) + 7;
  {
    std::ofstream out(img, std::ios::binary);
    ASSERT_TRUE(out);
    std::string data = NumberedDisk(1);
    test::Put32(data, 0, 0xFEEDBEEF);
    out.seekp(static_cast<std::streamoff>(sector * 512));
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good()) << "the file system cannot hold a 2 TiB sparse file";
  }
  unsigned char buf[512] = {};
  EXPECT_EQ(ReadSectors(img.string(), buf, sector, 1), 1);
  EXPECT_EQ(buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<std::uint32_t>(buf[3]) << 24, 0xFEEDBEEFu);
  // The same low 32 bits name a sector that holds zeros: proof the high half was used.
  EXPECT_EQ(ReadSectors(img.string(), buf, 7, 1), 1);
  EXPECT_EQ(buf[0], 0);
  std::filesystem::remove(img);
}

TEST(DeviceTable, KeepsOneReadOnlyHandlePerPath) {
  std::filesystem::path img = test::TempDir() / "handle.img";
  { std::ofstream(img, std::ios::binary) << std::string(1024, 'x'); }
  std::string error;
  auto a = platform::DeviceTable::Instance().Get(img.string(), &error);
  auto b = platform::DeviceTable::Instance().Get(img.string(), &error);
  ASSERT_TRUE(a);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(a->SizeBytes(), 1024u);
  EXPECT_EQ(a->Method(), 'P');
  // The handle was opened for reading only: the image's bytes and time stay as they were.
  unsigned char buf[512];
  EXPECT_EQ(ReadSectors(img.string(), buf, 1, 1), 1);
  EXPECT_EQ(LastReadMethod(), 'P');
}

TEST(DeviceTable, UnopenablePathReportsWhy) {
  std::string error;
  EXPECT_EQ(platform::DeviceTable::Instance().Get(test::TempDir().string(), &error), nullptr);
  EXPECT_NE(error.find("directory"), std::string::npos) << error;
}

// A FIFO would block the open until a writer came; a character device has no positions to
// read at. Both are refused at once.
TEST(DeviceTable, SourcesThatAreNoDiskAreRefusedAtOnce) {
  const std::string fifo = (test::TempDir() / "a fifo").string();
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/null")}) {
    std::string error;
    EXPECT_EQ(platform::OpenPosixDevice(path, &error), nullptr) << path;
    EXPECT_NE(error.find("neither a disk image file nor a block device"), std::string::npos) << error;
  }
  ::unlink(fifo.c_str());
}

}  // namespace
}  // namespace brevant
