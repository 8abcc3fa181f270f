#include "app/hosting_window_finder.h"

namespace quillbox {

HostingWindowFinder::HostingWindowFinder(Callback callback, MainQueue& queue)
    : callback_(std::move(callback)), queue_(queue) {}

std::shared_ptr<UIView> HostingWindowFinder::makeUIView() {
  auto view = std::make_shared<UIView>();
  // The pending work holds the view weakly, so it does not keep a discarded view alive.
  std::weak_ptr<UIView> weak = view;
  queue_.post([callback = callback_, weak] {
    std::shared_ptr<UIView> placed = weak.lock();
    if (callback) callback(placed ? placed->window() : nullptr);
  });
  return view;
}

void HostingWindowFinder::updateUIView(UIView&) {}

Element HostingWindowFinder::element(Callback callback) {
  return Representable(std::make_shared<HostingWindowFinder>(std::move(callback)));
}

}  // namespace quillbox
