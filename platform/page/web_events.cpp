#include "platform/page/web_events.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "base/stored_lists.h"
#include "platform/view/list_history.h"

namespace quillbox::web {

namespace {

constexpr std::uint64_t kMaxCount = std::uint64_t{1} << 53;  // what a browser's numbers hold exactly
constexpr std::size_t kMaxTab = 64;
// An event is one flat object: these leave room for a member or two a newer page may add.
constexpr std::size_t kMaxDepth = 8;
constexpr std::size_t kMaxValues = 256;

// Builds the body's value in one pass, with the library's own builder, and stops at the first value
// past the limits, so a body of millions of nested arrays costs no more memory than the body itself.
class BoundedRead : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit BoundedRead(nlohmann::json& into) : build_(into, false) {}
  std::string problem;

  bool null() override { return value() && build_.null(); }
  bool boolean(bool v) override { return value() && build_.boolean(v); }
  bool number_integer(number_integer_t v) override { return value() && build_.number_integer(v); }
  bool number_unsigned(number_unsigned_t v) override { return value() && build_.number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& s) override {
    return value() && build_.number_float(v, s);
  }
  bool string(string_t& v) override { return value() && build_.string(v); }
  bool binary(binary_t& v) override { return value() && build_.binary(v); }
  bool start_object(std::size_t n) override { return open() && build_.start_object(n); }
  bool key(string_t& v) override { return value() && build_.key(v); }
  bool end_object() override { return close() && build_.end_object(); }
  bool start_array(std::size_t n) override { return open() && build_.start_array(n); }
  bool end_array() override { return close() && build_.end_array(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    problem = "the event is not JSON text";
    return false;
  }

 private:
  bool value() {
    if (++values_ <= kMaxValues) return true;
    problem = "the event holds too many values";
    return false;
  }
  bool open() {
    if (++depth_ > kMaxDepth) {
      problem = "the event is nested too deeply";
      return false;
    }
    return value();
  }
  bool close() {
    --depth_;
    return true;
  }
  nlohmann::detail::json_sax_dom_parser<nlohmann::json> build_;
  std::size_t depth_ = 0;
  std::size_t values_ = 0;
};

Result<std::string> stringMember(const nlohmann::json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end()) return Status::Invalid(std::string("missing \"") + name + "\"");
  if (!it->is_string()) return Status::Invalid(std::string("\"") + name + "\" is not a string");
  return it->get<std::string>();
}

Result<std::uint64_t> countMember(const nlohmann::json& body, const char* name, bool required) {
  auto it = body.find(name);
  if (it == body.end()) {
    if (required) return Status::Invalid(std::string("missing \"") + name + "\"");
    return std::uint64_t{0};
  }
  if (!it->is_number_unsigned() && !(it->is_number_integer() && it->get<std::int64_t>() >= 0)) {
    return Status::Invalid(std::string("\"") + name + "\" is not a whole number from 0");
  }
  auto value = it->get<std::uint64_t>();
  if (value > kMaxCount) return Status::Invalid(std::string("\"") + name + "\" is too large");
  return value;
}

// The members each type of event carries, read into event; a failure names the one missing or wrong.
using ReadMembers = Status (*)(const nlohmann::json& body, ClientEvent& event);

Status readNothing(const nlohmann::json&, ClientEvent&) { return Status::Ok(); }

Status readId(const nlohmann::json& body, ClientEvent& event) {
  Result<std::string> id = stringMember(body, "id");
  if (!id) return id.status();
  event.id = std::move(id).value();
  return Status::Ok();
}

// A field's text or a picker's value, under member.
Status readIdAndText(const nlohmann::json& body, ClientEvent& event, const char* member) {
  if (Status id = readId(body, event); !id.ok()) return id;
  Result<std::string> text = stringMember(body, member);
  if (!text) return text.status();
  event.text = std::move(text).value();
  // The settings store keeps any byte but NUL; a browser's field never holds one.
  if (event.text.find('\0') != std::string::npos) return Status::Invalid("the text holds a NUL character");
  return Status::Ok();
}

Status readEdit(const nlohmann::json& body, ClientEvent& event) { return readIdAndText(body, event, "text"); }

Status readSelect(const nlohmann::json& body, ClientEvent& event) {
  return readIdAndText(body, event, "value");
}

Status readTab(const nlohmann::json& body, ClientEvent& event) {
  Result<std::uint64_t> index = countMember(body, "index", true);
  if (!index) return index.status();
  if (index.value() >= kMaxTab) return Status::Invalid("no tab " + std::to_string(index.value()));
  event.index = static_cast<std::size_t>(index.value());
  return Status::Ok();
}

Status readViewport(const nlohmann::json& body, ClientEvent& event) {
  if (Status id = readId(body, event); !id.ok()) return id;
  Result<std::uint64_t> from = countMember(body, "from", true);
  if (!from) return from.status();
  Result<std::uint64_t> to = countMember(body, "to", true);
  if (!to) return to.status();
  event.from = static_cast<std::size_t>(from.value());
  event.to = static_cast<std::size_t>(to.value());
  return Status::Ok();
}

Status readAttach(const nlohmann::json& body, ClientEvent& event) {
  Result<std::string> stream = stringMember(body, "stream");
  if (!stream) return stream.status();
  event.stream = std::move(stream).value();
  if (body.contains("idiom")) {
    Result<std::string> idiom = stringMember(body, "idiom");
    if (!idiom) return idiom.status();
    event.idiom = std::move(idiom).value();
  }
  return Status::Ok();
}

Status readOffer(const nlohmann::json& body, ClientEvent& event) {
  Result<std::uint64_t> offer = countMember(body, "offer", true);
  if (!offer) return offer.status();
  event.offer = offer.value();
  return Status::Ok();
}

// The list a history event names: "notes", "tasks" or "tags"; the history of every list may name "".
Status readList(const nlohmann::json& body, ClientEvent& event, bool everyList) {
  Result<std::string> list = stringMember(body, "list");
  if (!list) return list.status();
  event.text = std::move(list).value();
  const bool named = event.text == "notes" || event.text == "tasks" || event.text == "tags";
  if (!named && !(everyList && event.text.empty())) return Status::Invalid("no list named so");
  return Status::Ok();
}

Status readHistory(const nlohmann::json& body, ClientEvent& event) { return readList(body, event, true); }

// A revert or a restore: the list and the version offered.
Status readVersion(const nlohmann::json& body, ClientEvent& event) {
  if (Status list = readList(body, event, false); !list.ok()) return list;
  return readOffer(body, event);
}

struct EventForm {
  std::string_view name;
  ClientEvent::Type type;
  ReadMembers read;
};
constexpr EventForm kForms[] = {
    {"tap", ClientEvent::Type::tap, readId},
    {"submit", ClientEvent::Type::submit, readId},
    {"edit", ClientEvent::Type::edit, readEdit},
    {"select", ClientEvent::Type::select, readSelect},
    {"tab", ClientEvent::Type::tab, readTab},
    {"viewport", ClientEvent::Type::viewport, readViewport},
    {"attach", ClientEvent::Type::attach, readAttach},
    {"detach", ClientEvent::Type::detach, readNothing},
    {"appear", ClientEvent::Type::appear, readNothing},
    {"foreground", ClientEvent::Type::foreground, readNothing},
    {"history", ClientEvent::Type::history, readHistory},
    {"revert", ClientEvent::Type::revert, readVersion},
    {"restore", ClientEvent::Type::restore, readVersion},
    {"undo", ClientEvent::Type::undo, readOffer},
};

}  // namespace

Result<ClientEvent> parseClientEvent(std::string_view body) {
  nlohmann::json json;
  BoundedRead bounded(json);
  if (!nlohmann::json::sax_parse(body.begin(), body.end(), &bounded)) {
    return Status::Invalid(bounded.problem.empty() ? "the event is not JSON text" : bounded.problem);
  }
  if (!json.is_object()) return Status::Invalid("the event is not a JSON object");

  ClientEvent event;
  Result<std::string> window = stringMember(json, "window");
  if (!window) return window.status();
  event.window = std::move(window).value();
  Result<std::uint64_t> seq = countMember(json, "seq", true);
  if (!seq) return seq.status();
  event.seq = seq.value();
  Result<std::uint64_t> rev = countMember(json, "rev", false);
  if (!rev) return rev.status();
  event.rev = rev.value();

  Result<std::string> type = stringMember(json, "type");
  if (!type) return type.status();
  for (const EventForm& form : kForms) {
    if (form.name != type.value()) continue;
    event.type = form.type;
    if (Status read = form.read(json, event); !read.ok()) return read;
    return event;
  }
  return Status::Invalid("unknown event type");
}

Status applyClientEvent(Window& window, const ClientEvent& event, const Window::Tree& seen) {
  switch (event.type) {
    case ClientEvent::Type::tap:
      return window.tap(event.id, seen);
    case ClientEvent::Type::submit:
      return window.submit(event.id, seen);
    case ClientEvent::Type::edit:
      return window.edit(event.id, event.text, seen);
    case ClientEvent::Type::select:
      return window.select(event.id, event.text, seen);
    case ClientEvent::Type::viewport:
    case ClientEvent::Type::attach:
    case ClientEvent::Type::detach:
      return Status::Ok();
    case ClientEvent::Type::tab:
      return window.selectTab(event.index);
    case ClientEvent::Type::appear:
      return window.appear();
    case ClientEvent::Type::foreground:
      return window.foreground();
    case ClientEvent::Type::undo:
      return window.undo(event.offer);
    case ClientEvent::Type::history:
      window.showHistory(event.text);
      return Status::Ok();
    case ClientEvent::Type::revert:
    case ClientEvent::Type::restore: {
      const StoredList& list = *storedListNamed(event.text);
      const auto number = static_cast<std::int64_t>(event.offer);
      return event.type == ClientEvent::Type::revert ? revertChange(window, list, number)
                                                     : restoreVersion(window, list, number);
    }
  }
  return Status::Invalid("unknown event type");
}

int statusForFailure(const Status& failure) {
  switch (failure.code()) {
    case Status::Code::io:
    case Status::Code::unavailable:
    case Status::Code::busy:
      return 503;
    case Status::Code::unauthenticated:
      return 403;
    default:
      return 409;
  }
}

}  // namespace quillbox::web
