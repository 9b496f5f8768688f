#include "platform/preview_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "test_support.h"

namespace brevant::platform {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

// A fresh folder per test below the test process's private folder.
fs::path Fresh(const std::string& name) {
  const fs::path p = test::TempDir() / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

fs::path PrivateFolder(const fs::path& p) {
  fs::create_directories(p);
  chmod(p.c_str(), 0700);
  return p;
}

TEST(DeleteFolderTree, RemovesEverythingBelowAndTheFolder) {
  const fs::path root = Fresh("tree");
  fs::create_directories(root / "a" / "b" / "c");
  WriteFile(root / "top.txt", "x");
  WriteFile(root / "a" / "b" / "c" / "deep.txt", "x");
  fs::create_directories(root / "empty");
  EXPECT_TRUE(DeleteFolderTree(root));
  EXPECT_FALSE(fs::exists(root));
  // With a trailing separator it names the same folder.
  fs::create_directories(root / "x");
  EXPECT_TRUE(DeleteFolderTree(root.string() + "/"));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(DeleteFolderTree(root));  // nothing there
}

TEST(DeleteFolderTree, NeverFollowsSymbolicLinks) {
  const fs::path base = Fresh("links");
  const fs::path outside = base / "outside";
  fs::create_directories(outside / "sub");
  WriteFile(outside / "keep.txt", "keep");
  WriteFile(outside / "sub" / "keep2.txt", "keep");
  const fs::path tree = base / "tree";
  fs::create_directories(tree / "inner");
  fs::create_directory_symlink(outside, tree / "dirlink");
  fs::create_symlink(outside / "keep.txt", tree / "inner" / "filelink");
  fs::create_symlink(base / "missing", tree / "dangling");
  EXPECT_TRUE(DeleteFolderTree(tree));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_TRUE(fs::exists(outside / "sub" / "keep2.txt"));
  // A link given as the folder itself is refused, and what it points to stays.
  fs::create_directory_symlink(outside, base / "link");
  EXPECT_FALSE(DeleteFolderTree(base / "link"));
  EXPECT_FALSE(DeleteFolderTree(base / "link/"));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_TRUE(fs::is_symlink(base / "link"));
}

TEST(DeleteFolderTree, StopsAtTheFirstFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root may delete in a read-only folder";
  const fs::path root = Fresh("locked");
  fs::create_directories(root / "ro");
  WriteFile(root / "ro" / "pinned.txt", "x");
  chmod((root / "ro").c_str(), 0500);
  EXPECT_FALSE(DeleteFolderTree(root));
  EXPECT_TRUE(fs::exists(root / "ro" / "pinned.txt"));
  chmod((root / "ro").c_str(), 0700);
}

TEST(PreviewFolder, NewFolderIsPrivateAndRemovedAtTheEnd) {
  fs::path made;
  {
    PreviewFolder folder;
    ASSERT_TRUE(folder.Ready()) << folder.Error();
    made = folder.Path();
    struct stat st;
    ASSERT_EQ(lstat(made.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_NE(made.filename().string(), "gs");
    WriteFile(made / "one.txt", "x");
    fs::create_directories(made / "sub");
    WriteFile(made / "sub" / "two.txt", "x");
    std::string why;
    EXPECT_TRUE(folder.Clear(&why)) << why;
    EXPECT_TRUE(fs::is_empty(made));
    WriteFile(made / "left.txt", "x");
  }
  EXPECT_FALSE(fs::exists(made));
  // Two folders never share a name.
  PreviewFolder a, b;
  EXPECT_NE(a.Path(), b.Path());
}

TEST(PreviewFolder, ClearingRemovesLinksNotWhatTheyPointTo) {
  const fs::path base = Fresh("clear");
  fs::create_directories(base / "outside");
  WriteFile(base / "outside" / "victim.txt", "keep");
  const fs::path p = PrivateFolder(base / "preview");
  fs::create_directory_symlink(base / "outside", p / "dirlink");
  fs::create_symlink(base / "outside" / "victim.txt", p / "filelink");
  PreviewFolder folder(p, geteuid(), false);
  std::string why;
  ASSERT_TRUE(folder.Clear(&why)) << why;
  EXPECT_TRUE(fs::is_empty(p));
  EXPECT_TRUE(fs::exists(base / "outside" / "victim.txt"));
}

TEST(PreviewFolder, RefusesALinkAnotherUsersFolderAndAnOpenFolder) {
  const fs::path base = Fresh("refuse");
  const fs::path outside = PrivateFolder(base / "outside");
  WriteFile(outside / "victim.txt", "keep");
  fs::create_directory_symlink(outside, base / "link");
  struct Case {
    const char* what;
    fs::path path;
    uid_t owner;
    const char* reason;
  } cases[] = {
      {"link", base / "link", geteuid(), "symbolic link"},
      {"link with a slash", base / "link/", geteuid(), "symbolic link"},
      {"another user's", outside, geteuid() + 1, "another user"},
      {"a file", outside / "victim.txt", geteuid(), "not a folder"},
  };
  for (const Case& c : cases) {
    {
      PreviewFolder folder(c.path, c.owner, true);
      EXPECT_FALSE(folder.Ready()) << c.what;
      EXPECT_NE(folder.Error().find(c.reason), std::string::npos)
          << c.what << ": " << folder.Error();
      std::string why;
      EXPECT_FALSE(folder.Clear(&why)) << c.what;
      EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
    EXPECT_TRUE(fs::exists(outside / "victim.txt")) << c.what;
  }
  // A folder others may enter is refused too.
  const fs::path open = base / "open";
  fs::create_directories(open);
  chmod(open.c_str(), 0755);
  WriteFile(open / "x.txt", "keep");
  PreviewFolder folder(open, geteuid(), true);
  std::string why;
  EXPECT_FALSE(folder.Clear(&why));
  EXPECT_NE(why.find("other users"), std::string::npos) << why;
  EXPECT_TRUE(fs::exists(open / "x.txt"));
}

TEST(PreviewFolder, RealOwnershipByAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  const fs::path p = PrivateFolder(Fresh("owned") / "preview");
  WriteFile(p / "theirs.txt", "keep");
  ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  {
    PreviewFolder folder(p, geteuid(), true);
    std::string why;
    EXPECT_FALSE(folder.Clear(&why));
    EXPECT_NE(why.find("another user"), std::string::npos) << why;
  }
  EXPECT_TRUE(fs::exists(p / "theirs.txt"));
}

TEST(PreviewFolder, RuntimeFolderOnlyWhenPrivate) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string keep = saved ? saved : "";
  const fs::path open = Fresh("runtime-open");
  chmod(open.c_str(), 0777);
  setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
  EXPECT_NE(PrivateFolderBase(), open);
  const fs::path mine = PrivateFolder(Fresh("runtime") / "run");
  setenv("XDG_RUNTIME_DIR", mine.c_str(), 1);
  EXPECT_EQ(PrivateFolderBase(), mine);
  {
    PreviewFolder folder;
    EXPECT_EQ(folder.Path().parent_path(), mine);
  }
  if (saved)
    setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace brevant::platform
