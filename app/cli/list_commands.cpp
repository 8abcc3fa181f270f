#include "app/cli/list_commands.h"

#include <charconv>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/escape.h"
#include "base/text.h"
#include "base/url.h"
#include "platform/view/view_render.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

namespace {

// What the list commands are given on the command line.
struct ListOptions {
  std::string text;
  std::string number;
  std::string search;
  std::optional<std::string> tag;  // none: every tag is listed, and an add files its note under red
  std::string expected;            // --text: what row N must still hold, or the value to delete
  bool json = false;
  std::string done;  // what the operation did, printed before the rows
};

// A row number as printed by `list`: 1 up to the list's length.
Result<std::int64_t> rowPosition(const std::string& text, std::size_t count, const std::string& command) {
  std::int64_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size())
    return Status::Invalid(command + ": not a row number: " + terminalSafe(text));
  if (number < 1 || static_cast<std::uint64_t>(number) > count) {
    return Status::NotFound(command + ": no row " + std::to_string(number) + " (the list has " +
                            std::to_string(count) + (count == 1 ? " row)" : " rows)"));
  }
  return number - 1;
}

// A tag given as its glyph or its colour name.
Result<std::string> tagFor(const std::string& given) {
  for (std::size_t i = 0; i < kTags.size(); ++i) {
    if (given == kTags[i] || given == kTagNames[i] || textEquals(given, kTags[i]))
      return std::string(kTags[i]);
  }
  if (given == "\u26AB") return std::string(kTags[7]);  // black typed without its variation selector
  return Status::Invalid("not a tag: " + terminalSafe(given) +
                         " (red, green, yellow, orange, brown, purple, blue, black or a glyph)");
}

// The colour name of the tag a tagged note is filed under: the glyph it starts with, else the
// first it holds.
std::string tagNameOf(std::string_view entry) {
  for (std::size_t i = 0; i < kTags.size(); ++i)
    if (entry.starts_with(kTags[i])) return std::string(kTagNames[i]);
  for (std::size_t i = 0; i < kTags.size(); ++i)
    if (textContains(entry, kTags[i])) return std::string(kTagNames[i]);
  return "";
}

// The text a person may give for an entry: the entry itself, or for a tagged note the part after
// its tag.
bool holds(std::string_view entry, const std::string& text, bool tagged) {
  if (entry == text) return true;
  if (!tagged) return false;
  for (std::string_view tag : kTags) {
    if (entry.starts_with(tag) && entry.substr(tag.size()) == "  " + text) return true;
  }
  return false;
}

std::string inQuotes(std::string_view text) { return "\"" + terminalSafe(text) + "\""; }

struct Row {
  std::int64_t number;
  std::string text;
  std::string label;  // "text", "link" or "none"
  std::optional<bool> finished;
  std::optional<std::string> tag;
};

void printRows(const std::vector<Row>& rows, bool json, std::ostream& out) {
  if (json) {
    Json array = Json::array();
    for (const Row& row : rows) {
      Json item{{"number", row.number}, {"text", row.text}, {"label", row.label}};
      if (row.finished) item["finished"] = *row.finished;
      if (row.tag) item["tag"] = *row.tag;
      array.push_back(std::move(item));
    }
    out << dumpJson(array, 2) << "\n";
    return;
  }
  for (const Row& row : rows) {
    out << row.number << '\t';
    if (row.finished) out << (*row.finished ? "[x] " : "[ ] ");
    // The label as the screen shows it: the text, a link's address, nothing for a bad link.
    if (row.label != "none") out << terminalSafe(row.text);
    out << '\n';
  }
}

// One list screen as the command line drives it: its cells and operations, named once.
template <class View>
struct ListScreen {
  const char* command;      // "notes"
  const char* description;  // for --help
  const char* entry;        // "note"
  State<ItemList> View::*list;
  State<std::string> View::*field;
  State<std::string> View::*search;
  Status (View::*add)() const;
  Status (View::*remove)(std::int64_t) const;
  bool (View::*shown)(std::int64_t) const;
};

constexpr ListScreen<NotesView> kNotesScreen{"notes",
                                             "the numbered list of free notes",
                                             "note",
                                             &NotesView::notes,
                                             &NotesView::notesTextField,
                                             &NotesView::searchNotes,
                                             &NotesView::addNote,
                                             &NotesView::deleteNote,
                                             &NotesView::isNoteShown};
constexpr ListScreen<ToDoView> kTasksScreen{"tasks",
                                            "the to-dos and their finished marks",
                                            "to-do",
                                            &ToDoView::tasks,
                                            &ToDoView::tasksTextField,
                                            &ToDoView::searchTasks,
                                            &ToDoView::addTask,
                                            &ToDoView::deleteTask,
                                            &ToDoView::isTaskShown};
constexpr ListScreen<TagsView> kTagsScreen{"tags",
                                           "short notes under eight colour tags",
                                           "tagged note",
                                           &TagsView::taggedNotes,
                                           &TagsView::taggedNotesTextField,
                                           &TagsView::searchTaggedNotes,
                                           &TagsView::addTaggedNote,
                                           &TagsView::deleteTaggedNote,
                                           &TagsView::isTaggedNoteShown};

// The rows the screen draws, numbered by their place in the whole list.
// A tags screen without a chosen tag shows the notes of every tag.
template <class View>
std::vector<Row> rowsOf(const ListScreen<View>& screen, const View& view, const ListOptions& options) {
  std::vector<Row> rows;
  const ItemList& list = (view.*screen.list).get();
  const bool everyTag = std::is_same_v<View, TagsView> && !options.tag;
  for (std::size_t p = 0; p < list.size(); ++p) {
    const auto position = static_cast<std::int64_t>(p);
    const bool shown = everyTag ? options.search.empty() || textContains(list[p], options.search)
                                : (view.*screen.shown)(position);
    if (!shown) continue;
    Row row{position + 1, std::string(list[p]), "text", std::nullopt, std::nullopt};
    if (isLinkText(list[p])) row.label = parseURL(list[p]) ? "link" : "none";
    if constexpr (std::is_same_v<View, ToDoView>) row.finished = view.isFinished(position);
    if constexpr (std::is_same_v<View, TagsView>) row.tag = tagNameOf(list[p]);
    rows.push_back(std::move(row));
  }
  return rows;
}

// The row an operation acts on: row N, only while it still holds --text when that is given; or,
// without N, the first entry equal to --text.
template <class View>
Result<std::int64_t> chosenRow(const ListScreen<View>& screen, const ListOptions& options, const View& view,
                               const char* verb) {
  const std::string command = std::string(screen.command) + " " + verb;
  const ItemList& list = (view.*screen.list).get();
  constexpr bool tagged = std::is_same_v<View, TagsView>;
  if (options.number.empty()) {
    if (options.expected.empty()) return Status::Invalid(command + ": give a row number N, or --text TEXT");
    for (std::size_t p = 0; p < list.size(); ++p)
      if (holds(list[p], options.expected, tagged)) return static_cast<std::int64_t>(p);
    return Status::NotFound(command + ": no " + screen.entry + " is " + inQuotes(options.expected));
  }
  Result<std::int64_t> p = rowPosition(options.number, list.size(), command);
  if (!p || options.expected.empty()) return p;
  std::string_view now = list[static_cast<std::size_t>(p.value())];
  if (holds(now, options.expected, tagged)) return p;
  return Status::Conflict(command + ": row " + options.number + " now holds " + inQuotes(now) + ", not " +
                          inQuotes(options.expected) + "; nothing was changed");
}

template <class View>
using Operation = Status (*)(const ListScreen<View>&, ListOptions&, View&, Window&);

// What a subcommand runs: a visit that opens the screen, runs the operation, ends the visit and
// prints the rows.
template <class View>
std::function<void()> visitRunning(std::shared_ptr<ListOptions> options, CommandContext* shared,
                                   const ListScreen<View>& screen, Operation<View> operation) {
  return [options, shared, &screen, operation] {
    shared->command = [options, shared, &screen, operation]() -> Status {
      Result<std::string> tag = std::string();
      if constexpr (std::is_same_v<View, TagsView>) tag = tagFor(options->tag.value_or("red"));
      if (!tag) return tag.status();
      Result<std::unique_ptr<Session>> session = openSession(shared->options);
      if (!session) return session.status();
      View view(session.value()->env);
      if constexpr (std::is_same_v<View, TagsView>) view.selectedTag.set(tag.value());
      Result<std::unique_ptr<Window>> window = openScreen(*session.value(), view);
      if (!window) return window.status();
      if (Status done = operation(screen, *options, view, *window.value()); !done.ok()) return done;
      if (Status ended = endVisit(*session.value(), shared->err); !ended.ok()) return ended;
      if (!options->done.empty()) shared->out << options->done << "\n";
      printRows(rowsOf(screen, view, *options), options->json, shared->out);
      return Status::Ok();
    };
  };
}

template <class View>
Status searchRows(const ListScreen<View>& s, ListOptions& o, View& view, Window&) {
  (view.*s.search).set(o.search);
  return Status::Ok();
}

template <class View>
Status addEntry(const ListScreen<View>& s, ListOptions& o, View& view, Window& window) {
  return window.perform([&] {
    (view.*s.field).set(o.text);
    return (view.*s.add)();
  });
}

Status toggleRow(const ListScreen<ToDoView>& s, ListOptions& o, ToDoView& view, Window& window) {
  Result<std::int64_t> p = chosenRow(s, o, view, "toggle");
  if (!p) return p.status();
  Status done = window.perform([&] { return view.toggleFinished(p.value()); });
  if (done.ok()) {
    o.done = "marked " + inQuotes((view.*s.list).get()[static_cast<std::size_t>(p.value())]) +
             (view.isFinished(p.value()) ? " finished" : " unfinished");
  }
  return done;
}

template <class View>
Status deleteRow(const ListScreen<View>& s, ListOptions& o, View& view, Window& window) {
  Result<std::int64_t> p = chosenRow(s, o, view, "delete");
  if (!p) return p.status();
  const std::size_t before = (view.*s.list).get().size();
  const std::string text((view.*s.list).get()[static_cast<std::size_t>(p.value())]);
  Status done = window.perform([&] { return (view.*s.remove)(p.value()); });
  const std::size_t gone = before - (view.*s.list).get().size();
  if (done.ok()) {
    o.done = "deleted " + std::to_string(gone) + (gone == 1 ? " entry" : " entries") + " equal to " +
             inQuotes(text);
  }
  return done;
}

template <class View>
void addScreenCommands(CLI::App& app, CommandContext& context, const ListScreen<View>& screen) {
  auto options = std::make_shared<ListOptions>();
  CommandContext* shared = &context;  // lives until the chosen command has run
  auto visit = [&](Operation<View> operation) { return visitRunning(options, shared, screen, operation); };
  auto tagOption = [&](CLI::App* command, const char* help) {
    if constexpr (std::is_same_v<View, TagsView>) command->add_option("--tag", options->tag, help);
  };
  const std::string entry = screen.entry;

  CLI::App* group = app.add_subcommand(screen.command, screen.description);
  group->require_subcommand(1);

  CLI::App* list = group->add_subcommand("list", "print the rows the screen would draw: N<TAB>text a line");
  list->add_option("--search", options->search, "only rows that contain TEXT");
  list->add_flag("--json", options->json,
                 "print one JSON array instead, an object per row (number, text, label" +
                     std::string(std::is_same_v<View, ToDoView> ? ", finished" : "") +
                     (std::is_same_v<View, TagsView> ? ", tag" : "") + ")");
  tagOption(list, "only the notes of this tag: a glyph or a colour name (default: every tag)");
  list->callback(visit(searchRows<View>));

  CLI::App* add = group->add_subcommand("add", "add a " + entry + " at the end, then print the rows");
  tagOption(add, "the note's tag: a glyph or a colour name (default red)");
  add->add_option("TEXT", options->text, "the " + entry + ", exactly as given")->required();
  add->callback(visit(addEntry<View>));

  const char* guard = "act only while row N still holds TEXT (as listed): the list may have changed since";
  if constexpr (std::is_same_v<View, ToDoView>) {
    CLI::App* toggle = group->add_subcommand(
        "toggle", "mark row N finished, or unfinished again; prints what it did, then the rows");
    toggle->add_option("N", options->number, "the row number as listed")->required();
    toggle->add_option("--text", options->expected, guard);
    toggle->callback(visit(toggleRow));
  }

  CLI::App* remove =
      group->add_subcommand("delete", "delete row N (or the value --text names) and every " + entry +
                                          " equal to it; prints how many went, then the rows");
  remove->add_option("N", options->number, "the row number as listed");
  remove->add_option("--text", options->expected,
                     std::string(guard) + "; without N, the " + entry + " equal to TEXT is deleted");
  tagOption(remove, "the tag whose rows are printed afterwards (default: every tag)");
  remove->callback(visit(deleteRow<View>));
}

}  // namespace

void addListCommands(CLI::App& app, CommandContext& context) {
  addScreenCommands(app, context, kNotesScreen);
  addScreenCommands(app, context, kTasksScreen);
  addScreenCommands(app, context, kTagsScreen);
}

}  // namespace quillbox
