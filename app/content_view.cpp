#include "app/content_view.h"

#include "app/hosting_window_finder.h"

namespace quillbox {

Element ContentView::body() const {
  std::vector<Element> tabs;
  tabs.push_back(notes.body().tabItem(Label("Notes", "square.and.pencil")).keyed("notes"));
  tabs.push_back(todo.body().tabItem(Label("To-Do", "list.dash")).keyed("tasks"));
  tabs.push_back(tags.body().tabItem(Label("Tags", "tag")).keyed("tags"));
  return TabView(std::move(tabs)).background(HostingWindowFinder::element([](Window*) {}), Alignment::center);
}

std::unique_ptr<Window> QuillboxApp::makeWindow(const Environment& env) const {
  auto content = std::make_shared<ContentView>(env);
  return std::make_unique<Window>([content] { return content->body(); }, env.settings, env.device);
}

}  // namespace quillbox
