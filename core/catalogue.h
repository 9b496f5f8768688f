#pragma once
// The result catalogue: append-only lists of found folders and files, every value as UTF-16 text.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

namespace brevant {

// One found folder or file. Texts are NUL-terminated and owned by the catalogue's arena.
struct CatalogueNode {
  const char16_t* name;
  const char16_t* sector;
  const char16_t* id;
  const char16_t* parentId;
  const char16_t* date;
  const char16_t* time;
  const char16_t* size;
  const char16_t* attributes;
  const char16_t* spareText;
  const char16_t* type;
  const char16_t* deleted;
  // The named data stream the entry stands for ("name:stream" entries); empty for the file's
  // own data.
  const char16_t* stream;
  std::int32_t sequence;
  // Where the node stands in its list, from 0: files and folders are numbered apart. Lets a
  // run keep per-file facts in plain arrays beside the catalogue.
  std::uint32_t order = 0;
  // Published with a release store once the node is complete; readers load with acquire.
  std::atomic<CatalogueNode*> next{nullptr};

  bool IsFolder() const;
  bool IsDeleted() const;
};

// One row offered in the file list, kept so a click can find the file again.
struct ListedFileRow {
  const char16_t* name;
  const char16_t* sector;
  const char16_t* id;
  const char16_t* parentId;
  const char16_t* size;
  std::atomic<ListedFileRow*> next{nullptr};
  const CatalogueNode* node = nullptr;  // the record the row shows, when made from one
};

// Storage that only grows: texts and nodes are never freed one by one.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  void* Allocate(std::size_t bytes, std::size_t align);
  const char16_t* CopyText(std::u16string_view text);
  std::size_t BytesReserved() const { return reserved_; }
  std::size_t BytesUsed() const { return used_; }
  void Clear();
  // Takes over every block of `other` (which is left empty); nothing moves in memory.
  void TakeFrom(Arena& other);

 private:
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  unsigned char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t reserved_ = 0;
  std::size_t used_ = 0;
};

// Singly linked list with a held tail: constant-time append, discovery order.
template <typename Node>
struct CatalogueList {
  std::atomic<Node*> head{nullptr};
  Node* tail = nullptr;
  std::atomic<std::size_t> count{0};

  void Link(Node* node) {
    if (tail == nullptr)
      head.store(node, std::memory_order_release);
    else
      tail->next.store(node, std::memory_order_release);
    tail = node;
    count.fetch_add(1, std::memory_order_release);
  }
  Node* First() const { return head.load(std::memory_order_acquire); }
  static Node* Next(const Node* n) { return n->next.load(std::memory_order_acquire); }
};

class Catalogue {
 public:
  Catalogue() = default;
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  using Text = std::u16string_view;
  const CatalogueNode* AppendFolder(Text name, Text sector, Text id, Text parentId, Text date,
                                    Text time, Text size, Text attributes, Text spareText,
                                    Text type, Text deleted, std::int32_t sequence);
  const CatalogueNode* AppendFile(Text name, Text sector, Text id, Text parentId, Text date,
                                  Text time, Text size, Text attributes, Text spareText, Text type,
                                  Text deleted, std::int32_t sequence, Text stream = {});
  const ListedFileRow* AppendListedFile(Text name, Text sector, Text id, Text parentId, Text size);
  // A row for a record of this catalogue: it shares the record's texts instead of copying them.
  const ListedFileRow* AppendListedFile(const CatalogueNode& file);

  // Empties every list; only when no reader is walking them (a new run gets a fresh start).
  void Clear();
  // Takes over every list and all storage of `other`, which is left empty. Nodes keep their
  // addresses, so pointers into `other` stay valid and now point into this catalogue.
  void TakeFrom(Catalogue& other);
  void ClearListedFiles();

  CatalogueList<CatalogueNode> folderList;
  CatalogueList<CatalogueNode> fileList;
  CatalogueList<ListedFileRow> listedFileRows;

  std::size_t BytesReserved() const { return arena_.BytesReserved(); }
  std::size_t BytesUsed() const { return arena_.BytesUsed(); }

 private:
  CatalogueNode* MakeNode(Text name, Text sector, Text id, Text parentId, Text date, Text time,
                          Text size, Text attributes, Text spareText, Text type, Text deleted,
                          std::int32_t sequence, Text stream);
  const char16_t* Intern(Text text, int field);
  ListedFileRow* NewRow();
  Arena arena_;
  std::deque<ListedFileRow> rows_;  // listed rows live until the index is emptied
  // The previous node's texts, field by field: siblings repeat parent ids, dates and sizes.
  static constexpr int kFields = 12;
  const char16_t* previous_[kFields] = {};
};

}  // namespace brevant
