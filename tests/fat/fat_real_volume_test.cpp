// Volumes made by mkfs.fat and mtools, scanned and compared with The Sleuth Kit's fls.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "fat_test_util.h"
#include "model/file_listing.h"
#include "model/result_tree.h"

namespace brevant::fattest {
namespace {

namespace fs = std::filesystem;

struct RealVolume {
  fs::path image;
  std::map<std::string, std::string> liveFiles;  // path -> contents
  std::set<std::string> liveFolders;
  std::map<std::string, std::string> deletedFiles;
};

// Builds `image` with mkfs.fat (`fatBits` 16 or 32) and fills it with mtools: nested folders,
// a folder of 150 files, long and short names, and a deleted file and folder.
RealVolume MakeVolume(const std::string& name, int fatBits, int sizeMiB) {
  RealVolume v;
  fs::path dir = test::TempDir() / name;
  fs::create_directories(dir);
  v.image = dir / "fat.img";
  fs::path src = dir / "src";
  auto add = [&](const std::string& path, const std::string& data) {
    WriteFile(src / path, data);
    v.liveFiles["/" + path] = data;
  };
  add("README", Pattern(700, 1));
  add("Makefile", Pattern(3000, 2));
  add("main.c", Pattern(12345, 3));
  add("Docs/Report 2024.docx", Pattern(70000, 4));
  add("Docs/notes.txt", Pattern(513, 5));
  add("Docs/Sub Folder/deep/empty.bin", "");
  add("Docs/Sub Folder/deep/exact512.dat", Pattern(512, 6));
  for (int i = 0; i < 150; ++i) add("Many/file number " + std::to_string(i) + ".txt", Pattern(100 + i, 100 + i));
  v.liveFolders = {"/Docs", "/Docs/Sub Folder", "/Docs/Sub Folder/deep", "/Many"};
  std::string mk = "mkfs.fat -F " + std::to_string(fatBits) + (fatBits == 32 ? " -s 1" : " -s 2") + " -C '" + v.image.string() + "' " +
                   std::to_string(sizeMiB * 1024);
  if (RunTool(mk) != 0) return {};
  std::string img = "'" + v.image.string() + "'";
  if (RunTool("cd '" + src.string() + "' && mcopy -s -i " + img + " README Makefile main.c Docs Many ::/") != 0)
    return {};
  // Deleted afterwards: a file and a folder with a file inside.
  WriteFile(dir / "gone.txt", Pattern(5000, 77));
  WriteFile(dir / "Trash/inner.dat", Pattern(9000, 78));
  if (RunTool("mcopy -i " + img + " '" + (dir / "gone.txt").string() + "' ::/gone.txt") != 0) return {};
  if (RunTool("mcopy -s -i " + img + " '" + (dir / "Trash").string() + "' ::/") != 0) return {};
  if (RunTool("mdel -i " + img + " ::/gone.txt") != 0) return {};
  if (RunTool("mdeltree -i " + img + " ::/Trash") != 0) return {};
  // Short names without a long name lose their first letter when deleted.
  v.deletedFiles["/_one.txt"] = Pattern(5000, 77);
  v.deletedFiles["/Trash/_nner.dat"] = Pattern(9000, 78);
  return v;
}

struct Scanned {
  std::map<std::string, const CatalogueNode*> files;  // path -> entry (deleted ones too)
  std::set<std::string> folders;
  bool lost = false;
};

Scanned ScanImage(RecoverySession& s, const fs::path& image, const std::string& fsName,
                  const FatReadOptions& options = {}) {
  const auto sectors = fs::file_size(image) / 512;
  SelectDisk(s, image.string(), 0, sectors, fsName);
  RecordingView view;
  ScanSelected(s, view, options);
  auto tree = std::make_shared<ui::ResultTree>();
  BuildFatResultTree(s, view, *tree);
  Scanned out;
  out.lost = tree->lostItem != nullptr;
  ui::EntryPaths paths(*tree, s.catalogue);
  for (const CatalogueNode* n = s.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    out.files[ToUtf8(paths.FileFolder(n)) + "/" + ToUtf8(n->name)] = n;
  for (const CatalogueNode* n = s.catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    out.folders.insert(ToUtf8(paths.FolderPath(n)));
  return out;
}

std::string Extract(RecoverySession& s, const CatalogueNode* n, ExtractResult* result = nullptr) {
  struct StringSink : ByteSink {
    std::string data;
    bool Write(const void* p, std::size_t len) override {
      data.append(static_cast<const char*>(p), len);
      return true;
    }
  } sink;
  ExtractResult r = ExtractFatFileTo(s, sink, TextToInt(n->size), static_cast<std::uint32_t>(TextToInt(n->id)));
  if (result) *result = r;
  return sink.data;
}

class RealVolumeTest : public ::testing::TestWithParam<int> {};

TEST_P(RealVolumeTest, FindsEveryFileAndRecoversItByteForByte) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  const int bits = GetParam();
  RealVolume v = MakeVolume("real" + std::to_string(bits), bits, bits == 32 ? 40 : 16);
  ASSERT_FALSE(v.image.empty()) << "could not build the image";
  RecoverySession s;
  Scanned scan = ScanImage(s, v.image, bits == 32 ? "FAT32" : "FAT16");
  for (const auto& [path, data] : v.liveFiles) {
    auto it = scan.files.find(path);
    ASSERT_NE(it, scan.files.end()) << path;
    EXPECT_EQ(ToUtf8(it->second->deleted), "NULL") << path;
    EXPECT_EQ(TextToInt(it->second->size), static_cast<std::int64_t>(data.size())) << path;
    ExtractResult r;
    EXPECT_EQ(Extract(s, it->second, &r), data) << path;
    EXPECT_TRUE(r.ok) << path << ": " << r.error;
  }
  for (const auto& folder : v.liveFolders) EXPECT_TRUE(scan.folders.count(folder)) << folder;
  for (const auto& [path, data] : v.deletedFiles) {
    auto it = scan.files.find(path);
    ASSERT_NE(it, scan.files.end()) << path;
    EXPECT_EQ(ToUtf8(it->second->deleted), "1") << path;
    EXPECT_EQ(Extract(s, it->second), data) << path;
  }
  EXPECT_TRUE(scan.folders.count("/Trash"));
  EXPECT_FALSE(scan.lost) << "nothing on this volume is lost";
  // Nothing is listed twice.
  std::size_t files = s.catalogue.fileList.count.load();
  EXPECT_EQ(files, scan.files.size());
}

TEST_P(RealVolumeTest, AgreesWithSleuthKit) {
  if (!HaveFatTools() || !HaveTool("fls")) GTEST_SKIP() << "mkfs.fat, mtools or fls missing";
  const int bits = GetParam();
  RealVolume v = MakeVolume("tsk" + std::to_string(bits), bits, bits == 32 ? 40 : 16);
  ASSERT_FALSE(v.image.empty());
  RecoverySession s;
  Scanned scan = ScanImage(s, v.image, bits == 32 ? "FAT32" : "FAT16");
  // fls -r -p: "r/r 123:\tpath" for live files, "r/r * 123:\tpath" for deleted ones.
  std::istringstream lines(Capture("fls -r -p '" + v.image.string() + "'"));
  std::string line;
  int compared = 0;
  while (std::getline(lines, line)) {
    auto tab = line.find('\t');
    if (tab == std::string::npos || line.rfind("r/r", 0) != 0) continue;
    std::string path = "/" + line.substr(tab + 1);
    if (path.find("$") != std::string::npos) continue;  // TSK's virtual files
    const bool deleted = line.find(" * ") != std::string::npos;
    auto it = scan.files.find(path);
    ASSERT_NE(it, scan.files.end()) << "fls lists " << path;
    EXPECT_EQ(ToUtf8(it->second->deleted), deleted ? "1" : "NULL") << path;
    ++compared;
  }
  EXPECT_GT(compared, 150);
}

TEST_P(RealVolumeTest, OneSectorReadsGiveTheSameCatalogue) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  const int bits = GetParam();
  RealVolume v = MakeVolume("batch" + std::to_string(bits), bits, bits == 32 ? 40 : 16);
  ASSERT_FALSE(v.image.empty());
  auto dump = [&](std::uint32_t batch) {
    RecoverySession s;
    const auto sectors = fs::file_size(v.image) / 512;
    SelectDisk(s, v.image.string(), 0, sectors, bits == 32 ? "FAT32" : "FAT16");
    RecordingView view;
    FatReadOptions options;
    options.batchSectors = batch;
    ScanSelected(s, view, options);
    std::ostringstream out;
    for (const Found& f : Entries(s.catalogue))
      out << f.name << '|' << f.sector << '|' << f.id << '|' << f.parentId << '|' << f.date << '|'
          << f.time << '|' << f.size << '|' << f.attributes << '|' << f.type << '|' << f.deleted
          << '|' << f.sequence << '\n';
    return out.str();
  };
  const std::string reference = dump(0);
  EXPECT_GT(reference.size(), 1000u);
  for (std::uint32_t batch : {1u, 3u, 64u}) EXPECT_EQ(dump(batch), reference) << "batch " << batch;
}

INSTANTIATE_TEST_SUITE_P(Fat, RealVolumeTest, ::testing::Values(16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

}  // namespace
}  // namespace brevant::fattest
