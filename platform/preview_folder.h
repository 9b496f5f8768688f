#pragma once
// The private folder previews are extracted into: made for this user only, checked before
// anything in it is written or removed, cleared without following symbolic links and removed
// when the program ends.
#include <sys/types.h>

#include <filesystem>
#include <string>

namespace brevant::platform {

// Deletes everything in `folder`, recursively, then the folder itself. A symbolic link is
// removed as a link, never followed, so nothing outside the folder is touched. False as soon
// as a deletion fails (the rest stays), and when `folder` is itself a symbolic link or no folder.
bool DeleteFolderTree(const std::filesystem::path& folder);

class PreviewFolder {
 public:
  // Makes a new private folder (mode 0700, a name no one can guess) in the user's runtime
  // folder when it is private to the user, else in the temporary folder. Check Ready().
  PreviewFolder();
  // Uses an existing folder that must belong to `owner` (tests and callers that choose it).
  PreviewFolder(std::filesystem::path folder, uid_t owner, bool removeAtEnd);
  ~PreviewFolder();
  PreviewFolder(const PreviewFolder&) = delete;
  PreviewFolder& operator=(const PreviewFolder&) = delete;

  bool Ready() const { return !path_.empty() && error_.empty(); }
  const std::filesystem::path& Path() const { return path_; }
  const std::string& Error() const { return error_; }

  // Checks that the folder is still a real folder owned by the owner with no access for
  // anyone else; false with the reason otherwise.
  bool Check(std::string* why) const;
  // Checks the folder, then deletes what it holds (links as links). A file that cannot be
  // deleted stays and the clearing goes on. False with the reason when the check fails.
  bool Clear(std::string* why) const;

 private:
  std::filesystem::path path_;
  uid_t owner_;
  bool removeAtEnd_ = false;
  std::string error_;
};

// Where a new private folder goes: $XDG_RUNTIME_DIR when it is a folder owned by the user with
// no access for others, else $TMPDIR, else /tmp.
std::filesystem::path PrivateFolderBase();

}  // namespace brevant::platform
