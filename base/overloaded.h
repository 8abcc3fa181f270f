#pragma once

namespace quillbox {

// A visitor made of lambdas, one per alternative: std::visit(Overloaded{[](const A&) {...}, ...}, v).
// Without a generic lambda among them, an alternative none of them takes does not compile.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace quillbox
