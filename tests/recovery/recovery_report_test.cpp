// The recovery report: text from the disk made safe for XML and CSV, every field of a file's
// record written, and a report that a stop cuts short still closed whole with the records of
// what was done, their SHA-256 matching the files written.
#include "recovery/recovery_report.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>

#include "core/sha256.h"
#include "core/text.h"
#include "disk/disks.h"
#include "model/file_listing.h"
#include "platform/sector_device.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

std::string Shell(const std::string& command) {
  std::string out;
  if (std::FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    if (::pclose(p) != 0) out = "FAILED: " + out;
  }
  return out;
}

// xmllint (libxml2-utils, which the setup installs) is the independent judge of well-formedness.
void ExpectWellFormed(const fs::path& path) {
  if (Shell("command -v xmllint").empty()) GTEST_SKIP() << "xmllint is not installed";
  EXPECT_EQ(Shell("xmllint --noout '" + path.string() + "' 2>&1"), "") << test::ReadFileBytes(path);
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(RecoveryReport, XmlAndCsvCarryHostileTextSafely) {
  struct Case {
    std::string in, xml, csv;
  };
  const Case cases[] = {
      {"plain.txt", "plain.txt", "plain.txt"},
      {"<a&b>.txt", "&lt;a&amp;b&gt;.txt", "<a&b>.txt"},
      {"say \"hi\" it's", "say &quot;hi&quot; it&apos;s", "\"say \"\"hi\"\" it's\""},
      {"a,b", "a,b", "\"a,b\""},
      {"line\nbreak\r", "line&#10;break&#13;", "\"line\nbreak\r\""},
      {"tab\there", "tab&#9;here", "tab\there"},
      {" padded ", " padded ", "\" padded \""},
      // Control characters and U+FFFE / U+FFFF cannot be in XML at all, not even as references.
      {std::string("nul\x01\x1f\x7f", 6), "nul\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       std::string("nul\x01\x1f\x7f", 6)},
      {"x\xEF\xBF\xBEy\xEF\xBF\xBF", "x\xEF\xBF\xBDy\xEF\xBF\xBD", "x\xEF\xBF\xBEy\xEF\xBF\xBF"},
      {"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
       "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(XmlText(c.in), c.xml);
    EXPECT_EQ(CsvField(c.in), c.csv);
  }
}

TEST(RecoveryReport, TheFormatFollowsTheExtensionAndBadPathsAreRefused) {
  const fs::path dir = test::TempDir() / "report-paths";
  fs::create_directories(dir / "a folder.xml");
  struct Case {
    fs::path path;
    bool ok;
    std::optional<ReportFormat> format;
  };
  const Case cases[] = {
      {dir / "r.xml", true, ReportFormat::Dfxml},
      {dir / "r.DFXML", true, ReportFormat::Dfxml},
      {dir / "r.Csv", true, ReportFormat::Csv},
      {dir / "r.txt", false, std::nullopt},
      {dir / "report", false, std::nullopt},
      {dir / "a folder.xml", false, ReportFormat::Dfxml},
      {dir / "missing" / "r.csv", false, ReportFormat::Csv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(ReportFormatOf(c.path), c.format);
    std::string error;
    EXPECT_EQ(CheckReportPath(c.path, "", &error), c.ok) << error;
    EXPECT_EQ(error.empty(), c.ok);
  }
  // The window's two reports: numbered together, never over an earlier Save's report.
  ReportPaths first = ReportPathsFor(dir);
  EXPECT_EQ(first.dfxml, dir / "recovery-report.xml");
  EXPECT_EQ(first.csv, dir / "recovery-report.csv");
  std::ofstream(first.csv) << "x";
  ReportPaths second = ReportPathsFor(dir);
  EXPECT_EQ(second.dfxml, dir / "recovery-report (1).xml");
  EXPECT_EQ(second.csv, dir / "recovery-report (1).csv");
}

// A result made by hand: an NTFS volume at sector 2048 with files whose names a hostile disk
// could hold.
struct HandMadeRun {
  RunResult run;
  std::vector<const CatalogueNode*> files;
  HandMadeRun() {
    run.fsName = "NTFS";
    run.devicePath = "/images/disk <1>.img";
    run.partitionStart = 2048;
    run.partitionEnd = 4096;
    // 2023-01-01T00:00:00Z as FILETIME.
    const std::u16string time = ToText((1672531200ULL + 11644473600ULL) * 10000000ULL);
    for (const char16_t* name : {u"<evil>&\"'.txt", u"comma, \"quote\"\nline.txt", u"bell\x07.bin"})
      files.push_back(run.catalogue.AppendFile(name, u"100", u"64", u"5", time, u"0", u"5000",
                                               u"32", u"0", u"FILE", u"1", 1));
    run.SetState(*files[0], {FileCondition::PartlyOverwritten, 4096});
    ui::BuildEntryPaths(run);
  }
  ExtractResult Partial() const {
    ExtractResult r;
    r.path = "/out/evil.txt";
    r.bytesWritten = 5000;
    r.unreadableSectors = 2;
    r.modifiedTime = 1700000000;  // read while planning (NTFS: $STANDARD_INFORMATION)
    r.error = "sector 2100 cannot be read (2 unreadable sectors written as zeros)";
    r.sha256 = std::array<std::uint8_t, 32>{0xab, 0x01};
    r.runs = {{ByteRun::Kind::Source, 0, 2048 * 512 + 4096, 4096},
              {ByteRun::Kind::Zeros, 4096, 0, 512},
              {ByteRun::Kind::Bytes, 4608, 0, 392}};
    return r;
  }
};

TEST(RecoveryReport, ADfxmlRecordHoldsEveryFieldAndStaysWellFormed) {
  HandMadeRun h;
  const fs::path path = test::TempDir() / "hand.xml";
  std::string error;
  auto report =
      RecoveryReport::Open(path, h.run, {"brevant recover 'a b' --report x.xml", "/out"}, &error);
  ASSERT_TRUE(report) << error;
  report->Add({h.files[0], {}, 0}, h.Partial());
  ExtractResult failed;
  failed.error = "does not fit: it needs 5000 bytes";
  report->Add({h.files[1], {}, 1}, failed);
  ExtractResult whole;
  whole.ok = true;
  whole.path = "/out/bell.bin";
  report->Add({h.files[2], {}, 2}, whole);
  ASSERT_TRUE(report->Finish(false, &error)) << error;
  ExpectWellFormed(path);
  const std::string xml = test::ReadFileBytes(path);
  for (const char* field : {
           "<program>brevant</program>",
           "<command_line>brevant recover &apos;a b&apos; --report x.xml</command_line>",
           "<image_filename>/images/disk &lt;1&gt;.img</image_filename>",
           "<volume offset=\"1048576\">",
           "<ftype_str>ntfs</ftype_str>",
           "<filename>Lost (found by Brevant)/&lt;evil&gt;&amp;&quot;&apos;.txt</filename>",
           "<brevant:name>&lt;evil&gt;&amp;&quot;&apos;.txt</brevant:name>",
           "<filesize>5000</filesize>",
           "<unalloc>1</unalloc>",
           "<inode>64</inode>",
           "<mtime>2023-11-14T22:13:20Z</mtime>",
           "<crtime>2023-01-01T00:00:00Z</crtime>",
           "<byte_run file_offset=\"0\" fs_offset=\"4096\" img_offset=\"1052672\" len=\"4096\"/>",
           "<byte_run file_offset=\"4096\" fill=\"0\" len=\"512\"/>",
           "<byte_run file_offset=\"4608\" type=\"resident\" len=\"392\"/>",
           "<hashdigest "
           "type=\"sha256\">ab01000000000000000000000000000000000000000000000000000000000000</"
           "hashdigest>",
           "<brevant:condition overwritten_bytes=\"4096\">partly overwritten</brevant:condition>",
           "<brevant:outcome bytes_written=\"5000\" "
           "unreadable_sectors=\"2\">partial</brevant:outcome>",
           "<brevant:recovered_as>/out/evil.txt</brevant:recovered_as>",
           "<brevant:error>sector 2100 cannot be read (2 unreadable sectors written as "
           "zeros)</brevant:error>",
           "comma, &quot;quote&quot;&#10;line.txt</filename>",
           "<brevant:condition overwritten_bytes=\"0\">unknown</brevant:condition>",
           "unreadable_sectors=\"0\">failed</brevant:outcome>",
           "<brevant:error>does not fit: it needs 5000 bytes</brevant:error>",
           "bell\xEF\xBF\xBD.bin</filename>",
           "unreadable_sectors=\"0\">recovered</brevant:outcome>",
           "<brevant:summary files=\"3\" recovered=\"1\" partial=\"1\" failed=\"1\" "
           "unreadable_sectors=\"2\" stopped=\"false\"/>\n</dfxml>\n",
       })
    EXPECT_NE(xml.find(field), std::string::npos) << field << "\n" << xml;
  EXPECT_EQ(Count(xml, "<fileobject>"), 3u);
}

TEST(RecoveryReport, CsvRowsQuoteWhatNeedsItAndHoldEveryColumn) {
  HandMadeRun h;
  const fs::path path = test::TempDir() / "hand.csv";
  std::string error;
  auto report = RecoveryReport::Open(path, h.run, {"", "/out"}, &error);
  ASSERT_TRUE(report) << error;
  report->Add({h.files[0], {}, 0}, h.Partial());
  ExtractResult failed;
  failed.error = "no data, \"really\"";
  report->Add({h.files[1], {}, 1}, failed);
  ASSERT_TRUE(report->Finish(true, &error)) << error;
  EXPECT_EQ(
      test::ReadFileBytes(path),
      "path,name,size,modified,created,condition,overwritten_bytes,outcome,unreadable_sectors,"
      "bytes_written,recovered_as,sha256,byte_runs,error\r\n"
      "\"/Lost (found by Brevant)/<evil>&\"\"'.txt\",\"<evil>&\"\"'.txt\",5000,"
      "2023-11-14T22:13:20Z,2023-01-01T00:00:00Z,partly "
      "overwritten,4096,partial,2,5000,/out/evil.txt,"
      "ab01000000000000000000000000000000000000000000000000000000000000,"
      "1052672+4096 hole+512 resident+392,"
      "sector 2100 cannot be read (2 unreadable sectors written as zeros)\r\n"
      "\"/Lost (found by Brevant)/comma, \"\"quote\"\"\nline.txt\","
      "\"comma, \"\"quote\"\"\nline.txt\",5000,,2023-01-01T00:00:00Z,unknown,0,failed,0,0,,,,"
      "\"no data, \"\"really\"\"\"\r\n");
}

TEST(RecoveryReport, TheWindowsTwoReportsAreWrittenBesideTheFilesTogether) {
  HandMadeRun h;
  const fs::path dir = test::TempDir() / "beside";
  fs::create_directories(dir);
  std::ofstream(dir / "recovery-report.xml") << "an earlier Save's report";
  std::string error;
  auto reports = RecoveryReports::OpenBeside(dir, h.run, {"", dir}, &error);
  ASSERT_TRUE(reports) << error;
  EXPECT_EQ(reports->Paths().dfxml, dir / "recovery-report (1).xml");
  EXPECT_EQ(reports->Paths().csv, dir / "recovery-report (1).csv");
  reports->Add({h.files[0], {}, 0}, h.Partial());
  ASSERT_TRUE(reports->Finish(false, &error)) << error;
  EXPECT_EQ(test::ReadFileBytes(dir / "recovery-report.xml"), "an earlier Save's report");
  ExpectWellFormed(reports->Paths().dfxml);
  EXPECT_EQ(Count(test::ReadFileBytes(reports->Paths().dfxml), "<fileobject>"), 1u);
  EXPECT_EQ(Count(test::ReadFileBytes(reports->Paths().csv), "\r\n"), 2u);
}

// Feeds every file of a result to RecoverAll with a report, and asks for a stop from the
// writing thread as the `stopAt`-th file is opened, as Ctrl-C arriving during a copy.
class ReportingListener : public RecoverListener, public WriteWatch {
 public:
  ReportingListener(const RunResult& run, RecoveryReport* report, std::size_t stopAt,
                    std::atomic<std::int32_t>& stop)
      : report_(report), stopAt_(stopAt), stop_(stop) {
    for (auto* n = run.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      files_.push_back(n);
  }
  bool NextTask(RecoverTask& task) override {
    if (next_ == files_.size()) return false;
    task.file = files_[next_];
    task.tag = next_++;
    return true;
  }
  void FileRecovered(const RecoverTask& task, const ExtractResult& r) override {
    if (report_) report_->Add(task, r);
    written.push_back(r);
  }
  bool StopRequested() override { return stop_.load() == 1; }
  bool WantsDetails() override { return report_ != nullptr; }
  WriteWatch* Watch() override { return this; }
  void Opened(const std::filesystem::path&) override {
    if (opened_.fetch_add(1) + 1 == stopAt_) stop_.store(1);
  }
  void Closed(const std::filesystem::path&) override {}
  std::vector<ExtractResult> written;

 private:
  RecoveryReport* report_;
  std::vector<const CatalogueNode*> files_;
  std::size_t next_ = 0, stopAt_;
  std::atomic<std::size_t> opened_{0};
  std::atomic<std::int32_t>& stop_;
};

TEST(RecoveryReport, AStoppedRecoveryLeavesAWholeReportOfWhatWasDone) {
  const fs::path image = test::FixtureImage("demo");
  if (image.empty()) GTEST_SKIP() << "fixture demo is missing";
  platform::DiskFacts facts;
  const std::string disk = test::ReadFileBytes(image);
  facts.capacityBytes = disk.size();
  facts.heads = 255;
  facts.sectorsPerTrack = 63;
  facts.model = "Disk image";
  facts.deviceName = facts.label = "mem://report-stop";
  platform::DeviceTable::Instance().Install(facts.deviceName,
                                            std::make_shared<platform::MemoryDevice>(disk));
  RecoverySession session;
  ui::ResultTree startup;
  ASSERT_TRUE(SelectPartition(session, AddDisk(session, startup, facts), 3));  // NTFS
  ReadBootSectorParameters(session);
  RecordingView view;
  ASSERT_EQ(RecoveryWorker(session, view), RunOutcome::Completed);
  auto run = session.CurrentResult();
  ASSERT_TRUE(run);
  // Finished after the stop, and left to the destructor (an error path that never finished it).
  for (bool finish : {true, false}) {
    SCOPED_TRACE(finish);
    const fs::path out = test::TempDir() / (finish ? "stopped-finished" : "stopped-abandoned");
    const fs::path path = out.string() + ".xml";
    std::atomic<std::int32_t> stop{0};
    std::string error;
    auto recoverer = FileRecoverer::Open(run->Reader(), out, &error, &stop);
    ASSERT_TRUE(recoverer) << error;
    auto report = RecoveryReport::Open(path, *run, {"", out}, &error);
    ASSERT_TRUE(report) << error;
    ReportingListener listener(*run, report.get(), 5, stop);
    recoverer->RecoverAll(listener);
    if (finish) {
      EXPECT_TRUE(report->Finish(true, &error)) << error;
    }
    report.reset();
    ExpectWellFormed(path);
    const std::string xml = test::ReadFileBytes(path);
    // Only what was reported, every one of them, and the stop said when it was known.
    ASSERT_GE(listener.written.size(), 4u);
    ASSERT_LT(listener.written.size(), run->catalogue.fileList.count.load());
    EXPECT_EQ(Count(xml, "<fileobject>"), listener.written.size());
    EXPECT_NE(
        xml.find(finish ? "stopped=\"true\"/>\n</dfxml>\n" : "stopped=\"false\"/>\n</dfxml>\n"),
        std::string::npos);
    // Each written file's SHA-256, as sha256sum reads the file back.
    std::size_t hashed = 0;
    for (const ExtractResult& r : listener.written) {
      if (r.path.empty()) continue;
      ASSERT_TRUE(r.sha256);
      const std::string digest = DigestHex(*r.sha256);
      EXPECT_EQ(Shell("sha256sum < '" + r.path.string() + "'").substr(0, 64), digest) << r.path;
      EXPECT_NE(xml.find("<hashdigest type=\"sha256\">" + digest + "</hashdigest>"),
                std::string::npos);
      ++hashed;
    }
    EXPECT_GT(hashed, 0u);
  }
}

}  // namespace
}  // namespace brevant
