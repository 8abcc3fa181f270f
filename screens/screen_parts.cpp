#include "screens/screen_parts.h"

#include <functional>

#include "base/text.h"
#include "base/url.h"
#include "platform/app_info.h"

namespace quillbox {

Binding bindText(const State<std::string>& cell, std::string name) {
  return Binding{std::move(name), [cell] { return cell.get(); },
                 [cell](const std::string& text) { cell.set(text); }};
}

Element sectionHeader(std::string key, TextStyle style) {
  return HStack(Text(std::move(key), false).lineLimit(std::nullopt).font(style)).padding();
}

Element inputField(std::string placeholder, Binding text, TextStyle style, SubmitLabel submitLabel,
                   Action onSubmit) {
  Element field = TextField(std::move(placeholder), std::move(text))
                      .lineLimit(std::nullopt)
                      .font(style)
                      .frame(50)
                      .disableAutocorrection(true)
                      .autocapitalization(Autocapitalization::none)
                      .submitLabel(submitLabel);
  if (onSubmit) return std::move(field).onSubmit(std::move(onSubmit));
  return field;
}

std::optional<Element> linkLabel(std::string_view text, TextStyle style) {
  std::optional<URL> url = parseURL(text);
  if (!url) return std::nullopt;
  return Link(url->text, url->href).lineLimit(std::nullopt).font(style);
}

Element trashIcon(TextStyle style, Action onTap) {
  return Image("trash")
      .lineLimit(std::nullopt)
      .font(style)
      .foregroundColor(Color::red)
      .onTapGesture(std::move(onTap));
}

Element screenForm(std::vector<Element> sections, Action load, std::vector<ChangeHook> changes) {
  Element form = Form(std::move(sections))
                     .navigationBarTitle(Text(appTitle(), true))
                     .onAppear(load)
                     .onReceive(Notification::willEnterForeground, load);
  for (ChangeHook& hook : changes) {
    AppStorage cell = hook.cell;
    std::move(form).onChange(
        cell.key(), [cell] { return cell.takeChange(); }, std::move(hook.handler));
  }
  return NavigationView(std::move(form)).navigationViewStyle(StackNavigationViewStyle());
}

std::uint64_t fingerprintOf(std::string_view text, std::uint64_t salt) {
  return std::hash<std::string_view>{}(text) ^ (salt * 0x9E3779B97F4A7C15ULL);
}

std::optional<std::string_view> itemAt(const ItemList& list, std::int64_t position) {
  if (position < 0 || static_cast<std::size_t>(position) >= list.size()) return std::nullopt;
  return list[static_cast<std::size_t>(position)];
}

bool shownUnderSearch(const ItemList& list, std::string_view search, std::int64_t position) {
  const std::optional<std::string_view> item = itemAt(list, position);
  return item && (search.empty() || textContains(*item, search));
}

Status deleteItemAt(const AppStorage& stored, const ItemList& list, std::int64_t position) {
  const std::optional<std::string_view> item = itemAt(list, position);
  if (!item) return Status::Ok();
  const std::string text(*item);
  return stored.update([&](std::string_view current) { return removeItemsEqualTo(current, text); });
}

void finishNoteRow(std::vector<Element>& row, std::string_view text, TextStyle style, Action onDelete) {
  if (isLinkText(text)) {
    if (auto link = linkLabel(text, style)) row.push_back(std::move(*link));
  } else {
    row.push_back(Text(std::string(text), true).lineLimit(std::nullopt).font(style));
  }
  row.push_back(Spacer());
  row.push_back(trashIcon(style, std::move(onDelete)));
}

Element addSection(std::string header, std::string placeholder, Binding field, TextStyle style,
                   Action onAdd) {
  return Section(sectionHeader(std::move(header), style),
                 Elements(HStack(inputField(std::move(placeholder), std::move(field), style,
                                            SubmitLabel::done, std::move(onAdd)))
                              .padding()));
}

Element searchSection(std::string header, Binding search, TextStyle style, std::vector<Element> below) {
  std::vector<Element> content;
  content.reserve(below.size() + 1);
  content.push_back(
      HStack(inputField("Type in here", std::move(search), style, SubmitLabel::search)).padding());
  for (Element& element : below) content.push_back(std::move(element));
  return Section(sectionHeader(std::move(header), style), std::move(content));
}

}  // namespace quillbox
