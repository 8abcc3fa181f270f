#pragma once

#include <functional>
#include <memory>

#include "platform/main_queue.h"
#include "platform/view/view.h"

namespace quillbox {

// A small view that reports which window hosts it. Each time the platform makes its plain view,
// it posts one work item to the main queue that calls back, exactly once and never inside
// makeUIView, with the view's window: nothing when the view is gone or not in a window by then.
// Updates never report again.
class HostingWindowFinder : public UIViewRepresentable {
 public:
  using Callback = std::function<void(Window*)>;

  explicit HostingWindowFinder(Callback callback, MainQueue& queue = MainQueue::main());

  std::string_view name() const override { return "HostingWindowFinder"; }
  std::shared_ptr<UIView> makeUIView() override;
  void updateUIView(UIView& view) override;

  // The finder as an element of a view tree.
  static Element element(Callback callback);

 private:
  Callback callback_;
  MainQueue& queue_;
};

}  // namespace quillbox
