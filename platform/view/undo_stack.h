#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/list_undo.h"
#include "platform/status.h"
#include "platform/store/settings_store.h"

namespace quillbox {

// The changes a person made in one window, newest last, for the offer to take them back: each holds
// the lists it wrote (the to-dos and their marks together) as they were just before and just after
// it, and says in a few words what it did. Kept in memory with the window: the newest 50.
class UndoStack {
 public:
  // The newest change, as the window offers to undo it. ids are never reused within a stack.
  struct Offer {
    std::uint64_t id = 0;
    std::string text;  // `Deleted "Buy milk" and 1 equal note`
  };

  // The four list strings as the store holds them now, in the order of kStoredLists; a store that
  // cannot be read is a failure, never a list.
  static Result<std::vector<std::string>> readLists(SettingsStore& store);

  // Keeps the change from before to after (as readLists gave them) when a list differs; else nothing.
  void record(const std::vector<std::string>& before, const std::vector<std::string>& after);

  std::optional<Offer> offer() const;

  // Takes back the change offered as id from the lists as they are now (see revertItemList and
  // revertTaskLists), writing them in one transaction whose versions carry the cause "undo"; the
  // change is then no longer kept, and the one before it is offered. Fails, changing nothing, when
  // id is not the change offered now (conflict), and when the store cannot be read or written (the
  // change stays offered). reloadsMarks says whether the finished marks were written.
  Status undo(SettingsStore& store, std::uint64_t id, bool& reloadsMarks);

 private:
  struct Step {
    std::uint64_t id = 0;
    std::string text;
    std::vector<ListStrings> lists;
  };
  std::vector<Step> steps_;  // oldest first
  std::uint64_t nextId_ = 1;
};

}  // namespace quillbox
