// The one writer of recovered bytes: every kind of piece lands identically whether the kernel
// copies, refuses or copies only part; zeros become holes in files and a stoppable stream
// elsewhere; unreadable sectors are read around and counted; a full destination leaves
// nothing of a file it could not take at all and keeps, as partial, a file it took in part.
#include "core/extract_plan.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <set>
#include <tuple>

#include "core/sha256.h"
#include "platform/output_folder.h"
#include "test_support.h"

namespace brevant {
namespace {

class StringSink : public ByteSink {
 public:
  bool Write(const void* data, std::size_t length) override {
    bytes.append(static_cast<const char*>(data), length);
    ++writes;
    return true;
  }
  std::string bytes;
  std::size_t writes = 0;
};

// A file sink whose kernel copies stop short: a destination that copies a little and then
// refuses, as one that fails part-way.
class ShortCopySink : public OutputFileSink {
 public:
  using OutputFileSink::OutputFileSink;
  std::int64_t CopyFromDevice(platform::SectorDevice& device, std::uint64_t offset,
                              std::uint64_t length) override {
    if (++calls % 2 == 0) return 0;
    return OutputFileSink::CopyFromDevice(device, offset, std::min<std::uint64_t>(length, 4096));
  }
  int calls = 0;
};

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + i / 509);
  return s;
}

// An image file on disk, so the kernel can copy from it.
struct DiskImage {
  std::string bytes = Pattern(4u << 20);
  std::string path;
  DiskImage() {
    static int n = 0;
    path = (test::TempDir() / ("plan-source-" + std::to_string(n++) + ".img")).string();
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
};

ExtractPlan MixedPlan(const std::string& device, std::string* expected) {
  ExtractPlan plan;
  plan.device = device;
  plan.AddSource(1000, 5000);  // not on a sector boundary at either end
  plan.AddZeros(10000);
  const std::uint8_t resident[] = {'a', 'b', 'c'};
  plan.AddBytes(resident, 3);
  plan.AddSource(1u << 20, (2u << 20) + 7);  // more than one buffer's worth
  plan.AddSource((3u << 20) + 7, 100);
  const std::string source = Pattern(4u << 20);
  *expected = source.substr(1000, 5000) + std::string(10000, '\0') + "abc" +
              source.substr(1u << 20, (2u << 20) + 7) + source.substr((3u << 20) + 7, 100);
  return plan;
}

TEST(WritePlan, EveryWayOfCopyingWritesTheSameBytes) {
  DiskImage image;
  std::string expected;
  const ExtractPlan plan = MixedPlan(image.path, &expected);
  EXPECT_EQ(plan.Size(), expected.size());
  EXPECT_EQ(plan.BytesNeeded(), expected.size() - 10000);
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "plan-ways", true, &error);
  ASSERT_TRUE(folder) << error;

  enum class Way { Buffer, KernelCopy, NoKernelCopy, ShortKernelCopies };
  for (Way way : {Way::Buffer, Way::KernelCopy, Way::NoKernelCopy, Way::ShortKernelCopies}) {
    SCOPED_TRACE(static_cast<int>(way));
    platform::SetInKernelCopy(way != Way::NoKernelCopy);
    if (way == Way::Buffer) {
      StringSink sink;
      ExtractResult r = WritePlan(plan, sink, nullptr);
      EXPECT_TRUE(r.ok) << r.error;
      EXPECT_EQ(r.bytesWritten, expected.size());
      EXPECT_TRUE(sink.bytes == expected);
      continue;
    }
    auto file = folder->CreateFile("out.bin", &error);
    ASSERT_TRUE(file) << error;
    ExtractResult r;
    if (way == Way::ShortKernelCopies) {
      ShortCopySink sink(*file);
      r = WritePlan(plan, sink, nullptr);
      EXPECT_GT(sink.calls, 2);
    } else {
      OutputFileSink sink(*file);
      r = WritePlan(plan, sink, nullptr);
    }
    EXPECT_TRUE(file->Finish() && file->Close());
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytesWritten, expected.size());
    EXPECT_TRUE(test::ReadFileBytes(folder->Path() / file->Name()) == expected);
  }
  platform::SetInKernelCopy(true);
}

TEST(WritePlan, ZerosAreHolesInAFileAndAStoppableStreamElsewhere) {
  DiskImage image;
  ExtractPlan plan;
  plan.device = image.path;
  plan.AddSource(0, 4096);
  plan.AddZeros(1ULL << 40);  // a terabyte of sparse data
  plan.AddSource(4096, 4096);
  plan.AddZeros(1ULL << 30);  // and the file ends in a hole
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "plan-holes", true, &error);
  ASSERT_TRUE(folder) << error;
  ExtractResult r = WritePlanToFolder(plan, *folder, u"sparse.bin", nullptr);
  ASSERT_TRUE(r.ok) << r.error;
  struct stat st {};
  ASSERT_EQ(::stat(r.path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), (1ULL << 40) + (1ULL << 30) + 8192);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20);
  std::ifstream in(r.path, std::ios::binary);
  std::string head(4096, '\0'), middle(4096, '\0');
  in.read(head.data(), 4096);
  in.seekg(static_cast<std::streamoff>((1ULL << 40) + 4096));
  in.read(middle.data(), 4096);
  EXPECT_TRUE(head == image.bytes.substr(0, 4096));
  EXPECT_TRUE(middle == image.bytes.substr(4096, 4096));

  // Streamed, the same zeros are written out, and a stop ends them at once.
  class StoppingSink : public StringSink {
   public:
    std::atomic<std::int32_t>* stop = nullptr;
    bool Write(const void* data, std::size_t length) override {
      if (writes == 3) stop->store(1);
      StringSink::Write(data, std::min<std::size_t>(length, 16));  // keep little
      return true;
    }
  };
  std::atomic<std::int32_t> stop{0};
  StoppingSink sink;
  sink.stop = &stop;
  r = WritePlan(plan, sink, &stop);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.stopped);
  EXPECT_LE(sink.writes, 5u);
  EXPECT_LT(r.bytesWritten, 8u << 20);
}

TEST(WritePlan, UnreadableSectorsAreZerosAndCountedAndTheRestIsCopied) {
  const std::string disk = Pattern(1u << 20);
  auto inner = std::make_shared<platform::MemoryDevice>(disk);
  const std::string path = "mem://plan-bad-sectors";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{10, 11, 900}));
  ExtractPlan plan;
  plan.device = path;
  plan.AddSource(8 * 512 + 100, 10 * 512);  // sectors 8 to 18, 10 and 11 unreadable
  plan.AddSource(899 * 512, 3 * 512);       // sectors 899 to 901, 900 unreadable
  std::string expected = disk.substr(8 * 512 + 100, 10 * 512) + disk.substr(899 * 512, 3 * 512);
  std::fill_n(expected.begin() + (10 * 512 - (8 * 512 + 100)), 2 * 512, '\0');
  std::fill_n(expected.begin() + 10 * 512 + 512, 512, '\0');
  StringSink sink;
  ExtractResult r = WritePlan(plan, sink, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.unreadableSectors, 3u);
  EXPECT_EQ(r.bytesWritten, expected.size());
  EXPECT_TRUE(sink.bytes == expected);
  EXPECT_NE(r.error.find("sector 10 cannot be read (3 unreadable sectors"), std::string::npos)
      << r.error;
}

TEST(WritePlan, PiecesThatEndEarlyAreWrittenAndReportedAsIncomplete) {
  DiskImage image;
  ExtractPlan plan;
  plan.device = image.path;
  plan.AddSource(0, 700);
  plan.incomplete = "its data runs end after 700 of 900 bytes";
  StringSink sink;
  ExtractResult r = WritePlan(plan, sink, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, plan.incomplete);
  EXPECT_TRUE(sink.bytes == image.bytes.substr(0, 700));
}

// The largest file this process may write, as a quota or a full disk would cut it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

TEST(WritePlanToFolder, AFullDestinationLeavesNothingOrAPartReportedAsSuch) {
  DiskImage image;
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "plan-full", true, &error);
  ASSERT_TRUE(folder) << error;
  ExtractPlan data;
  data.device = image.path;
  data.AddSource(0, 10000);
  const std::uint8_t resident[] = {'x', 'y', 'z'};
  ExtractPlan small;
  small.AddBytes(resident, 3);
  const ExtractPlan empty;
  for (bool kernel : {true, false}) {
    SCOPED_TRACE(kernel);
    platform::SetInKernelCopy(kernel);
    const auto sub = folder->OpenChild(kernel ? "kernel" : "buffer", true, &error);
    ASSERT_TRUE(sub) << error;
    {
      FileSizeLimit none(0);
      // Nothing could be written: no file is left to pass for the real one.
      for (const ExtractPlan* plan : {&data, &small}) {
        ExtractResult r = WritePlanToFolder(*plan, *sub, u"a.bin", nullptr);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.destinationFull);
        EXPECT_TRUE(r.path.empty());
      }
      // An empty file needs no space and is recovered.
      ExtractResult r = WritePlanToFolder(empty, *sub, u"empty.bin", nullptr);
      EXPECT_TRUE(r.ok) << r.error;
    }
    {
      FileSizeLimit some(4096);
      ExtractResult r = WritePlanToFolder(data, *sub, u"part.bin", nullptr);
      EXPECT_FALSE(r.ok);
      EXPECT_TRUE(r.destinationFull);
      ASSERT_FALSE(r.path.empty());  // kept, and the result says it is partial
      EXPECT_GT(r.bytesWritten, 0u);
      EXPECT_LT(r.bytesWritten, 10000u);
      EXPECT_TRUE(test::ReadFileBytes(r.path) == image.bytes.substr(0, r.bytesWritten));
    }
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(sub->Path()))
      left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"empty.bin", "part.bin"}));
  }
  platform::SetInKernelCopy(true);
}

std::string Sha256Sum(const std::filesystem::path& path) {
  std::string out;
  if (std::FILE* p = ::popen(("sha256sum < '" + path.string() + "'").c_str(), "r")) {
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  return out.substr(0, 64);
}

// For a recovery report: the SHA-256 of exactly the bytes in the file (holes, resident bytes and
// kernel-copyable stretches alike), none when not every byte could be written, and the plan's
// pieces as runs of the file.
TEST(WritePlanToFolder, WithDetailsTheHashIsOfTheFileWrittenAndTheRunsAreThePlans) {
  DiskImage image;
  std::string expected;
  const ExtractPlan plan = MixedPlan(image.path, &expected);
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "plan-details", true, &error);
  ASSERT_TRUE(folder) << error;
  platform::SetInKernelCopy(true);
  ExtractResult r = WritePlanToFolder(plan, *folder, u"hashed.bin", nullptr, nullptr, true);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(test::ReadFileBytes(r.path) == expected);
  ASSERT_TRUE(r.sha256);
  EXPECT_EQ(DigestHex(*r.sha256), Sha256Sum(r.path));
  using K = ByteRun::Kind;
  const std::vector<std::tuple<K, std::uint64_t, std::uint64_t, std::uint64_t>> runs = {
      {K::Source, 0, 1000, 5000},
      {K::Zeros, 5000, 0, 10000},
      {K::Bytes, 15000, 0, 3},
      {K::Source, 15003, 1u << 20, (2u << 20) + 107}};  // two stretches that continue each other
  ASSERT_EQ(r.runs.size(), runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i)
    EXPECT_EQ(std::make_tuple(r.runs[i].kind, r.runs[i].fileOffset, r.runs[i].sourceOffset,
                              r.runs[i].length),
              runs[i])
        << i;

  // Without details nothing is paid for them.
  ExtractResult plain = WritePlanToFolder(plan, *folder, u"plain.bin", nullptr);
  EXPECT_TRUE(plain.ok && !plain.sha256 && plain.runs.empty());

  // A destination that takes only part of the file: what the file holds is not known to the
  // byte, so no hash is claimed for it.
  FileSizeLimit some(4096);
  ExtractResult part = WritePlanToFolder(plan, *folder, u"part.bin", nullptr, nullptr, true);
  EXPECT_FALSE(part.ok);
  EXPECT_FALSE(part.path.empty());
  EXPECT_FALSE(part.sha256);
}

TEST(OutputFolder, NewNamesNeverReplaceAnythingAndLinksAreNotFollowed) {
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "names", true, &error);
  ASSERT_TRUE(folder) << error;
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"report.txt", "report.txt"},     {"report.txt", "report (1).txt"},
      {"report.txt", "report (2).txt"}, {"README", "README"},
      {"README", "README (1)"},         {".profile", ".profile"},
      {".profile", ".profile (1)"},     {"a.tar.gz", "a.tar.gz"},
      {"a.tar.gz", "a.tar (1).gz"},
  };
  for (const Case& c : cases) {
    auto file = folder->CreateFile(c.name, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->Name(), c.expected);
    EXPECT_TRUE(file->Write("1", 1) && file->Close());
  }
  // A folder of that name counts as taken too; a link planted there is never written through.
  ASSERT_TRUE(folder->OpenChild("Docs", true, &error)) << error;
  EXPECT_EQ(folder->CreateFile("Docs", &error)->Name(), "Docs (1)");
  const auto target = test::TempDir() / "names-target";
  std::ofstream(target) << "keep";
  std::filesystem::create_symlink(target, folder->Path() / "link.txt");
  auto file = folder->CreateFile("link.txt", &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->Name(), "link (1).txt");
  EXPECT_EQ(test::ReadFileBytes(target), "keep");
  EXPECT_FALSE(folder->OpenChild("link.txt", false, &error));
}

// A file or a link where a folder goes: the folder is numbered past them, as a clashing file
// is, and opening it again (a folder dropped from the open set) finds the same one.
TEST(OutputFolder, FoldersAreNumberedPastFilesAndLinks) {
  std::string error;
  auto folder = platform::OpenOutputFolder(test::TempDir() / "folder-clash", true, &error);
  ASSERT_TRUE(folder) << error;
  const auto elsewhere = test::TempDir() / "folder-clash-elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::ofstream(folder->Path() / "Docs") << "a file";
  std::ofstream(folder->Path() / "Docs (1)") << "another file";
  std::filesystem::create_directory_symlink(elsewhere, folder->Path() / "Many");
  std::filesystem::create_directory(folder->Path() / "Kept");
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {{"Docs", "Docs (2)"}, {"Many", "Many (1)"}, {"Kept", "Kept"},
                        {"New", "New"},       {"v1.2", "v1 (1).2"}};
  std::ofstream(folder->Path() / "v1.2") << "x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = folder->OpenChild(c.name, true, &error);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(child->Path(), folder->Path() / c.expected);
    EXPECT_TRUE(std::filesystem::is_directory(
        std::filesystem::symlink_status(folder->Path() / c.expected)));
    auto again = folder->OpenChild(c.name, false, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->Path(), child->Path());
  }
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  EXPECT_EQ(test::ReadFileBytes(folder->Path() / "Docs"), "a file");
  // Nothing there and nothing to make: the one clear error of a missing folder.
  EXPECT_FALSE(folder->OpenChild("Absent", false, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST(OutputFolder, UnusableDestinationsAreOneClearError) {
  std::string error;
  const auto file = test::TempDir() / "a-file";
  std::ofstream(file) << "x";
  EXPECT_FALSE(platform::OpenOutputFolder(file, true, &error));
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
  EXPECT_FALSE(platform::OpenOutputFolder("", true, &error));
  EXPECT_FALSE(platform::OpenOutputFolder(file / "below", true, &error));
  EXPECT_EQ(error.find('\n'), std::string::npos);
  // Created with its parents when missing.
  const auto deep = test::TempDir() / "made" / "with" / "parents";
  EXPECT_TRUE(platform::OpenOutputFolder(deep, true, &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(deep));
}

}  // namespace
}  // namespace brevant
