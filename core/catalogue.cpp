#include "core/catalogue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace brevant {
namespace {

constexpr std::size_t kBlockBytes = 1 << 20;

// Texts that nearly every entry repeats are shared instead of copied.
constexpr std::u16string_view kSharedTexts[] = {u"",     u"0",    u"1",      u"16",  u"32",
                                            u"NULL", u"FILE", u"FOLDER", u"2",   u"3",
                                            u"4",    u"5",    u"6",      u"7",   u"8",
                                            u"9",    u"10",   u"18",     u"20",  u"22",
                                            u"33",   u"34",   u"36",     u"38"};

}  // namespace

bool CatalogueNode::IsFolder() const { return std::u16string_view(type) == u"FOLDER"; }
bool CatalogueNode::IsDeleted() const { return std::u16string_view(deleted) == u"1"; }

void* Arena::Allocate(std::size_t bytes, std::size_t align) {
  std::size_t pad = cursor_ ? (align - reinterpret_cast<std::uintptr_t>(cursor_) % align) % align : 0;
  if (cursor_ == nullptr || pad + bytes > left_) {
    std::size_t size = std::max(kBlockBytes, bytes + align);
    blocks_.emplace_back(new unsigned char[size]);
    cursor_ = blocks_.back().get();
    left_ = size;
    reserved_ += size;
    pad = (align - reinterpret_cast<std::uintptr_t>(cursor_) % align) % align;
  }
  void* out = cursor_ + pad;
  cursor_ += pad + bytes;
  left_ -= pad + bytes;
  used_ += pad + bytes;
  return out;
}

const char16_t* Arena::CopyText(std::u16string_view text) {
  auto* out = static_cast<char16_t*>(Allocate((text.size() + 1) * sizeof(char16_t), alignof(char16_t)));
  if (!text.empty()) std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
  // Texts end at their NUL: one inside a name read from a disk would cut it short.
  for (std::size_t i = 0; i < text.size(); ++i)
    if (out[i] == 0) out[i] = 0xFFFD;
  out[text.size()] = 0;
  return out;
}

void Arena::TakeFrom(Arena& other) {
  blocks_ = std::move(other.blocks_);
  cursor_ = other.cursor_;
  left_ = other.left_;
  reserved_ = other.reserved_;
  used_ = other.used_;
  other.blocks_.clear();
  other.cursor_ = nullptr;
  other.left_ = other.reserved_ = other.used_ = 0;
}

void Arena::Clear() {
  blocks_.clear();
  cursor_ = nullptr;
  left_ = reserved_ = used_ = 0;
}

const char16_t* Catalogue::Intern(Text text, int field) {
  if (text.size() <= 6) {
    for (std::u16string_view shared : kSharedTexts)
      if (text == shared) return shared.data();
  }
  const char16_t*& previous = previous_[field];
  if (previous && text == std::u16string_view(previous)) return previous;
  previous = arena_.CopyText(text);
  return previous;
}

CatalogueNode* Catalogue::MakeNode(Text name, Text sector, Text id, Text parentId, Text date,
                                   Text time, Text size, Text attributes, Text spareText,
                                   Text type, Text deleted, std::int32_t sequence,
                                   Text stream) {
  // The node is complete before anyone can reach it: the list links it afterwards.
  void* memory = arena_.Allocate(sizeof(CatalogueNode), alignof(CatalogueNode));
  auto* node = new (memory) CatalogueNode{};
  node->name = Intern(name, 0);
  node->sector = Intern(sector, 1);
  node->id = Intern(id, 2);
  node->parentId = Intern(parentId, 3);
  node->date = Intern(date, 4);
  node->time = Intern(time, 5);
  node->size = Intern(size, 6);
  node->attributes = Intern(attributes, 7);
  node->spareText = Intern(spareText, 8);
  node->type = Intern(type, 9);
  node->deleted = Intern(deleted, 10);
  node->stream = stream.empty() ? u"" : Intern(stream, 11);
  node->sequence = sequence;
  return node;
}

const CatalogueNode* Catalogue::AppendFolder(Text name, Text sector, Text id, Text parentId,
                                             Text date, Text time, Text size, Text attributes,
                                             Text spareText, Text type, Text deleted,
                                             std::int32_t sequence) {
  CatalogueNode* node = MakeNode(name, sector, id, parentId, date, time, size, attributes,
                                 spareText, type, deleted, sequence, {});
  node->order = static_cast<std::uint32_t>(folderList.count.load(std::memory_order_relaxed));
  folderList.Link(node);
  return node;
}

const CatalogueNode* Catalogue::AppendFile(Text name, Text sector, Text id, Text parentId,
                                           Text date, Text time, Text size, Text attributes,
                                           Text spareText, Text type, Text deleted,
                                           std::int32_t sequence, Text stream) {
  CatalogueNode* node = MakeNode(name, sector, id, parentId, date, time, size, attributes,
                                 spareText, type, deleted, sequence, stream);
  node->order = static_cast<std::uint32_t>(fileList.count.load(std::memory_order_relaxed));
  fileList.Link(node);
  return node;
}

ListedFileRow* Catalogue::NewRow() {
  ListedFileRow* row = &rows_.emplace_back();
  row->name = row->sector = row->id = row->parentId = row->size = u"";
  return row;
}

const ListedFileRow* Catalogue::AppendListedFile(Text name, Text sector, Text id, Text parentId,
                                                 Text size) {
  ListedFileRow* row = NewRow();
  row->name = Intern(name, 0);
  row->sector = Intern(sector, 1);
  row->id = Intern(id, 2);
  row->parentId = Intern(parentId, 3);
  row->size = Intern(size, 6);
  listedFileRows.Link(row);
  return row;
}

const ListedFileRow* Catalogue::AppendListedFile(const CatalogueNode& file) {
  ListedFileRow* row = NewRow();
  row->name = file.name;
  row->sector = file.sector;
  row->id = file.id;
  row->parentId = file.parentId;
  row->size = file.size;
  row->node = &file;
  listedFileRows.Link(row);
  return row;
}

void Catalogue::Clear() {
  for (auto* list : {&folderList, &fileList}) {
    list->head.store(nullptr, std::memory_order_release);
    list->tail = nullptr;
    list->count.store(0);
  }
  ClearListedFiles();
  arena_.Clear();
  for (auto& p : previous_) p = nullptr;
}

void Catalogue::ClearListedFiles() {
  listedFileRows.head.store(nullptr, std::memory_order_release);
  listedFileRows.tail = nullptr;
  listedFileRows.count.store(0);
  rows_.clear();
}

void Catalogue::TakeFrom(Catalogue& other) {
  if (&other == this) return;
  Clear();
  auto move = [](auto& to, auto& from) {
    to.head.store(from.head.load(std::memory_order_acquire), std::memory_order_release);
    to.tail = from.tail;
    to.count.store(from.count.load());
    from.head.store(nullptr, std::memory_order_release);
    from.tail = nullptr;
    from.count.store(0);
  };
  move(folderList, other.folderList);
  move(fileList, other.fileList);
  move(listedFileRows, other.listedFileRows);
  rows_.swap(other.rows_);
  other.rows_.clear();
  arena_.TakeFrom(other.arena_);
  for (int i = 0; i < kFields; ++i) {
    previous_[i] = other.previous_[i];
    other.previous_[i] = nullptr;
  }
}

}  // namespace brevant
