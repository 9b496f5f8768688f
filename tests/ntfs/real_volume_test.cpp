// Small NTFS volumes made by mkntfs and populated through the ntfs-3g driver: what the driver
// wrote must come back, path, size and bytes, deleted entries included. Skipped when the tools
// or FUSE are not available.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "core/text.h"
#include "ntfs/extents.h"
#include "ntfs/ntfs_engine.h"
#include "test_support.h"
#include "model/file_listing.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool ToolsAvailable(std::string* why) {
  for (const char* tool : {"mkntfs", "ntfs-3g", "umount", "mountpoint"}) {
    if (!Run(std::string("command -v ") + tool + " >/dev/null 2>&1")) {
      *why = std::string(tool) + " is not installed";
      return false;
    }
  }
  if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
    *why = "mounting with ntfs-3g needs root and /dev/fuse";
    return false;
  }
  return true;
}

std::string Bytes(std::size_t n, unsigned seed, bool compressible) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] =
        compressible ? "abcdefgh ijklmnop\n"[(i / 7 + rng() % 3) % 18] : static_cast<char>(rng());
  return s;
}

void WriteFile(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// An image file with an NTFS volume mounted through ntfs-3g for as long as it is populated.
class Ntfs3gVolume {
 public:
  explicit Ntfs3gVolume(const std::string& name, std::uint64_t megabytes,
                        const std::string& mkntfsOptions = "") {
    dir_ = test::TempDir() / name;
    fs::create_directories(dir_);
    image_ = dir_ / "volume.img";
    mount_ = dir_ / "mnt";
    fs::create_directories(mount_);
    ok_ = Run("truncate -s " + std::to_string(megabytes) + "M '" + image_.string() + "'") &&
          Run("mkntfs -Q -F " + mkntfsOptions + " '" + image_.string() + "' >/dev/null 2>&1");
    if (ok_) ok_ = Mount();
  }
  ~Ntfs3gVolume() { Unmount(); }

  bool Ok() const { return ok_; }
  fs::path Path(const std::string& relative) const { return mount_ / fs::u8path(relative); }
  const fs::path& Image() const { return image_; }

  bool Mount() {
    const std::string pidFile = (dir_ / "pid").string();
    if (!Run("(ntfs-3g -o no_detach,streams_interface=xattr '" + image_.string() + "' '" +
             mount_.string() + "' >'" + (dir_ / "ntfs-3g.log").string() + "' 2>&1 & echo $! >'" +
             pidFile + "')"))
      return false;
    std::ifstream(pidFile) >> pid_;
    for (int i = 0; i < 200; ++i) {
      if (Run("mountpoint -q '" + mount_.string() + "'")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  // Unmounts and waits for the driver to flush and exit, so the image is complete.
  void Unmount() {
    if (pid_ <= 0) return;
    Run("umount '" + mount_.string() + "' 2>/dev/null");
    for (int i = 0; i < 2400 && ::kill(pid_, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    pid_ = 0;
  }

 private:
  fs::path dir_, image_, mount_;
  pid_t pid_ = 0;
  bool ok_ = false;
};

// Points the session at a whole-disk NTFS image, with the parameters its boot sector gives.
void Configure(RecoverySession& session, const fs::path& image) {
  std::ifstream in(image, std::ios::binary);
  std::string boot(512, '\0');
  in.read(boot.data(), 512);
  auto u = [&](std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i)
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(boot[at + i])) << (8 * i);
    return v;
  };
  const std::uint64_t bytesPerSector = u(0x0B, 2), spc = u(0x0D, 1) * bytesPerSector / 512;
  const auto perRecord = static_cast<std::int8_t>(boot[0x40]);
  const std::uint64_t recordBytes = perRecord < 0 ? 1ULL << -perRecord : perRecord * spc * 512;
  session.EnsureDisk(0);
  session.devicePath[0] = image.string();
  session.selectedDisk = 0;
  session.selectedPartitionStart = 0;
  session.selectedPartitionEnd = fs::file_size(image) / 512;
  session.selectedFsName = session.scanFsName = session.scanParams.fsName = "NTFS";
  session.scanParams.clusterBase = 0;
  session.scanParams.sectorsPerCluster = spc;
  session.scanParams.mftStart = u(0x30, 8) * spc;
  session.scanParams.mftMirrStart = u(0x38, 8) * spc;
  session.scanParams.sectorsPerFileRecord = recordBytes / 512;
}

struct Scan {
  RecoverySession session;
  RecordingView view;
  ui::ResultTree tree;
  std::unique_ptr<ui::EntryPaths> paths;
  std::multimap<std::u16string, const CatalogueNode*> files;  // by path

  explicit Scan(const fs::path& image) {
    Configure(session, image);
    BuildMftExtentTable(session, view);
    BuildNtfsCatalogue(session, view);
    BuildNtfsResultTree(session, view, tree);
    paths = std::make_unique<ui::EntryPaths>(tree, session.catalogue);
    for (auto* n = session.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      files.emplace(paths->FileFolder(n) + u"/" + n->name, n);
  }
  const CatalogueNode* File(const std::string& path, bool deleted = false) const {
    auto [from, to] = files.equal_range(FromUtf8(path));
    for (auto it = from; it != to; ++it)
      if (it->second->IsDeleted() == deleted) return it->second;
    return nullptr;
  }
  // The attributes of an entry's record, for checking what the driver made of it.
  std::vector<ntfs::AttributeHeader> Attributes(const CatalogueNode* n,
                                                std::vector<std::uint8_t>& record) const {
    std::vector<ntfs::AttributeHeader> out;
    ntfs::Volume volume = ntfs::VolumeOf(session);
    if (!ntfs::ReadRecordAtSector(volume, session.mftExtents,
                                  static_cast<std::uint64_t>(TextToInt(n->sector)), record))
      return out;
    auto header = ntfs::FileRecordHeader::Parse(record);
    if (!header) return out;
    ntfs::AttributeWalk walk(record, *header);
    while (auto a = walk.Next()) out.push_back(*a);
    return out;
  }
  bool HasAttribute(const CatalogueNode* n, std::uint32_t type, std::uint16_t flags = 0) const {
    std::vector<std::uint8_t> record;
    for (const auto& a : Attributes(n, record))
      if (a.type == type && (a.flags & flags) == flags) return true;
    return false;
  }
  std::string Extract(const CatalogueNode* n, ExtractResult* result = nullptr) {
    class Sink : public ByteSink {
     public:
      bool Write(const void* d, std::size_t l) override {
        bytes.append(static_cast<const char*>(d), l);
        return true;
      }
      std::string bytes;
    } sink;
    ExtractResult r =
        ExtractNtfsFileTo(session, sink, static_cast<std::uint64_t>(TextToInt(n->size)),
                          static_cast<std::uint64_t>(TextToInt(n->sector)));
    if (result) *result = r;
    return r.ok ? sink.bytes : std::string();
  }
};

class RealVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!ToolsAvailable(&why)) GTEST_SKIP() << why;
  }
};

TEST_F(RealVolume, WhatNtfs3gWroteComesBack) {
  Ntfs3gVolume v("ntfs3g-basic", 64);
  ASSERT_TRUE(v.Ok());
  std::map<std::string, std::string> live;
  fs::create_directories(v.Path("Docs/Deep/Deeper"));
  live["/tiny.txt"] = "tiny";
  live["/Docs/letter.txt"] = Bytes(3000, 1, true);
  live["/Docs/Deep/Deeper/photo.jpg"] = Bytes(70000, 2, false);
  live["/Отчёт.txt"] = Bytes(900, 3, true);
  live["/empty.txt"] = "";
  for (const auto& [path, data] : live) WriteFile(v.Path(path.substr(1)), data);
  // A long name with a DOS name: Win32 and DOS name spaces.
  live["/Docs/A Long File Name.text"] = Bytes(1234, 4, true);
  WriteFile(v.Path("Docs/A Long File Name.text"), live["/Docs/A Long File Name.text"]);
  ASSERT_EQ(::setxattr(v.Path("Docs/A Long File Name.text").c_str(), "system.ntfs_dos_name",
                       "ALONGF~1.TXT", 12, 0),
            0);
  // An alternate data stream beside the unnamed one.
  live["/streams.txt"] = Bytes(5000, 5, false);
  WriteFile(v.Path("streams.txt"), live["/streams.txt"]);
  const std::string stream = Bytes(8000, 6, false);
  ASSERT_EQ(
      ::setxattr(v.Path("streams.txt").c_str(), "user.other", stream.data(), stream.size(), 0), 0);
  // A second link to a file, in another folder.
  fs::create_hard_link(v.Path("Docs/letter.txt"), v.Path("Docs/Deep/hard link.txt"));
  live["/Docs/Deep/hard link.txt"] = live["/Docs/letter.txt"];
  // A hole in the middle of a file.
  {
    std::string sparse(300000, '\0');
    std::string head = Bytes(10000, 7, false), tail = Bytes(5000, 8, false);
    sparse.replace(0, head.size(), head);
    sparse.replace(250000, tail.size(), tail);
    std::fstream f(v.Path("sparse.bin"), std::ios::out | std::ios::binary);
    f.write(head.data(), static_cast<std::streamsize>(head.size()));
    f.seekp(250000);
    f.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    f.seekp(299999);
    f.put('\0');
    live["/sparse.bin"] = sparse;
  }
  // Deleted: a file, and a folder with its content.
  std::map<std::string, std::string> deleted;
  deleted["/Docs/old.txt"] = Bytes(6000, 9, false);
  WriteFile(v.Path("Docs/old.txt"), deleted["/Docs/old.txt"]);
  fs::create_directories(v.Path("Trash/Inner"));
  deleted["/Trash/Inner/gone.bin"] = Bytes(9000, 10, false);
  WriteFile(v.Path("Trash/Inner/gone.bin"), deleted["/Trash/Inner/gone.bin"]);
  v.Unmount();
  ASSERT_TRUE(v.Mount());
  fs::remove(v.Path("Docs/old.txt"));
  fs::remove_all(v.Path("Trash"));
  v.Unmount();

  Scan scan(v.Image());
  for (const auto& [path, data] : live) {
    const CatalogueNode* n = scan.File(path);
    ASSERT_NE(n, nullptr) << path;
    EXPECT_EQ(TextToInt(n->size), static_cast<std::int64_t>(data.size())) << path;
    ExtractResult r;
    EXPECT_TRUE(scan.Extract(n, &r) == data) << path << ": " << r.error;
  }
  for (const auto& [path, data] : deleted) {
    const CatalogueNode* n = scan.File(path, true);
    ASSERT_NE(n, nullptr) << path;
    EXPECT_TRUE(scan.Extract(n) == data) << path;
  }
  EXPECT_EQ(scan.File("/Docs/ALONGF~1.TXT"), nullptr);
  // Folders: the deleted ones are shown as such, at their place.
  std::map<std::u16string, bool> folders;
  for (const auto& r : scan.tree.treeFolderList)
    if (r.node) folders[ui::SlashPath(r.path)] = r.node->IsDeleted();
  EXPECT_EQ(folders.at(u"/Docs/Deep/Deeper"), false);
  EXPECT_EQ(folders.at(u"/Trash"), true);
  EXPECT_EQ(folders.at(u"/Trash/Inner"), true);
}

TEST_F(RealVolume, CompressedFilesAndFilesSpreadOverExtensionRecordsAreRebuilt) {
  Ntfs3gVolume v("ntfs3g-compressed", 96);
  ASSERT_TRUE(v.Ok());
  fs::create_directories(v.Path("Packed"));
  // Files created in a folder marked compressed are compressed by the driver.
  const unsigned char compressedFlag[4] = {0x00, 0x00, 0x08, 0x00};
  ASSERT_EQ(::setxattr(v.Path("Packed").c_str(), "system.ntfs_attrib_be", compressedFlag, 4, 0), 0);
  std::map<std::string, std::string> live;
  live["/Packed/text.txt"] = Bytes(300000, 11, true);
  live["/Packed/noise.bin"] = Bytes(100000, 12, false);
  live["/Packed/mixed.bin"] =
      Bytes(50000, 13, true) + Bytes(50000, 14, false) + std::string(70000, '\0');
  for (const auto& [path, data] : live) WriteFile(v.Path(path.substr(1)), data);

  // A cluster of data every other cluster: hundreds of runs, more than a record holds, so the
  // driver moves them, and the name, to extension records behind an attribute list.
  std::string spread(399 * 8192 + 4096, '\0');
  {
    std::ofstream out(v.Path("spread.bin"), std::ios::binary);
    for (int i = 0; i < 400; ++i) {
      const std::string piece = Bytes(4096, 100 + i, false);
      out.seekp(i * 8192);
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      spread.replace(static_cast<std::size_t>(i) * 8192, piece.size(), piece);
    }
  }
  live["/spread.bin"] = spread;
  v.Unmount();

  Scan scan(v.Image());
  // What the driver did is what this test is about.
  ASSERT_NE(scan.File("/spread.bin"), nullptr);
  ASSERT_TRUE(scan.HasAttribute(scan.File("/spread.bin"), ntfs::kAttrAttributeList));
  ASSERT_NE(scan.File("/Packed/text.txt"), nullptr);
  ASSERT_TRUE(
      scan.HasAttribute(scan.File("/Packed/text.txt"), ntfs::kAttrData, ntfs::kAttrFlagCompressed));
  for (const auto& [path, data] : live) {
    const CatalogueNode* n = scan.File(path);
    ASSERT_NE(n, nullptr) << path;
    EXPECT_EQ(TextToInt(n->size), static_cast<std::int64_t>(data.size())) << path;
    ExtractResult r;
    const std::string got = scan.Extract(n, &r);
    EXPECT_TRUE(r.ok) << path << ": " << r.error;
    EXPECT_TRUE(got == data) << path;
  }
  // Listed once, though its name and runs live in extension records.
  EXPECT_EQ(scan.files.count(u"/spread.bin"), 1u);
}

TEST_F(RealVolume, FourKiBRecordsOfA4KiBSectorVolume) {
  Ntfs3gVolume v("ntfs3g-4k", 48, "-s 4096");
  ASSERT_TRUE(v.Ok());
  std::map<std::string, std::string> live;
  fs::create_directories(v.Path("Folder/Sub"));
  live["/Folder/resident.txt"] = "a few bytes inside the record";
  live["/Folder/Sub/data.bin"] = Bytes(100000, 21, false);
  live["/top.txt"] = Bytes(3000, 22, true);
  for (const auto& [path, data] : live) WriteFile(v.Path(path.substr(1)), data);
  v.Unmount();
  Scan scan(v.Image());
  ASSERT_EQ(scan.session.scanParams.sectorsPerFileRecord, 8u);
  for (const auto& [path, data] : live) {
    const CatalogueNode* n = scan.File(path);
    ASSERT_NE(n, nullptr) << path;
    EXPECT_TRUE(scan.Extract(n) == data) << path;
  }
}

TEST_F(RealVolume, FileSizesBeyond4GiBStayWhole) {
  Ntfs3gVolume v("ntfs3g-large", 64);
  ASSERT_TRUE(v.Ok());
  const std::uint64_t size = (5ULL << 30) + 123;
  {
    std::fstream f(v.Path("huge.bin"), std::ios::out | std::ios::binary);
    f.write("start", 5);
  }
  ASSERT_EQ(::truncate(v.Path("huge.bin").c_str(), static_cast<off_t>(size)), 0);
  v.Unmount();
  Scan scan(v.Image());
  const CatalogueNode* n = scan.File("/huge.bin");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(std::u16string_view(n->size), u"5368709243");
}

}  // namespace
}  // namespace brevant
