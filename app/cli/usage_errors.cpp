#include "app/cli/usage_errors.h"

#include <algorithm>
#include <vector>

#include "base/escape.h"

namespace quillbox {

namespace {

// The deepest command the parse reached, and its words ("quillbox notes list").
const CLI::App* reached(const CLI::App& app, std::string& words) {
  const CLI::App* at = &app;
  words = app.get_name();
  for (;;) {
    std::vector<const CLI::App*> taken =
        at->get_subcommands([](const CLI::App* sub) { return sub->parsed(); });
    if (taken.empty()) return at;
    at = taken.front();
    words += " " + at->get_name();
  }
}

// What the person could have meant by word there: a command, or a long option for a word with "--".
std::vector<std::string> candidates(const CLI::App& at, const std::string& word) {
  std::vector<std::string> names;
  if (word.starts_with("-")) {
    for (const CLI::Option* option : at.get_options())
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  } else {
    for (const CLI::App* sub : at.get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); }))
      names.push_back(sub->get_name());
  }
  return names;
}

std::string closest(const std::vector<std::string>& names, const std::string& word) {
  std::string best;
  std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string& name : names) {
    std::size_t distance = editDistance(word, name);
    if (distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace

const CLI::App& reachedCommand(const CLI::App& app) {
  std::string words;
  return *reached(app, words);
}

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replace = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string usageErrorLine(const CLI::App& app, const CLI::ParseError& error) {
  std::string words;
  const CLI::App* at = reached(app, words);
  std::string line = words + ": ";
  std::vector<std::string> extras = app.remaining(true);
  const bool groupOnly =
      at->get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); }).size() > 0;
  if (!extras.empty()) {
    const std::string& word = extras.front();
    const bool option = word.starts_with("-");
    line += (option      ? "no option "
             : groupOnly ? "no command "
                         : "unexpected ") +
            ("\"" + terminalSafe(word) + "\"");
    if (std::string guess = closest(candidates(*at, word), word); !guess.empty())
      line += "; did you mean \"" + guess + "\"?";
  } else if (groupOnly && error.get_name() == "RequiredError") {
    std::string names;
    for (const std::string& name : candidates(*at, "")) names += (names.empty() ? "" : ", ") + name;
    line += "a command is needed: " + names;
  } else {
    line += terminalSafe(error.what());
  }
  return line + " (see " + words + " --help)";
}

}  // namespace quillbox
