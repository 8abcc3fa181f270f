#include "base/stored_lists.h"

namespace quillbox {

const StoredList* storedListNamed(std::string_view name) {
  for (const StoredList& list : kStoredLists) {
    if (list.name == name) return &list;
  }
  return nullptr;
}

const StoredList* storedListWithLocalKey(std::string_view key) {
  for (const StoredList& list : kStoredLists) {
    if (list.localKey == key) return &list;
  }
  return nullptr;
}

}  // namespace quillbox
