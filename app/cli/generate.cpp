#include "app/cli/generate.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/app_info.h"

namespace quillbox {

namespace {

// One command as the generators see it: its words after "quillbox", its description, its
// visible subcommands, options and operands.
struct CommandInfo {
  std::string words;  // "notes list", "" for the program itself
  const CLI::App* app;
  std::vector<const CLI::App*> subcommands;
};

std::vector<const CLI::App*> visible(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

void collect(const CLI::App& app, const std::string& words, std::vector<CommandInfo>& into) {
  into.push_back({words, &app, visible(app)});
  for (const CLI::App* sub : visible(app))
    collect(*sub, words.empty() ? sub->get_name() : words + " " + sub->get_name(), into);
}

std::vector<std::string> longOptions(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  }
  return names;
}

std::string joinedWords(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

std::vector<std::string> wordsAt(const CommandInfo& command) {
  std::vector<std::string> words;
  for (const CLI::App* sub : command.subcommands) words.push_back(sub->get_name());
  for (const std::string& option : longOptions(*command.app)) words.push_back(option);
  return words;
}

// Text for roff: backslashes doubled, '-' as a minus, and no line starting with a control character.
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// What an option's value is called in the help: TEXT, INT...
std::string valueName(const CLI::Option& option) {
  std::string name = option.get_type_name();
  return name.empty() ? "VALUE" : name;
}

std::string synopsis(const CommandInfo& command) {
  std::string line = "quillbox " + command.words;
  for (const CLI::Option* option : command.app->get_options()) {
    if (option->get_lnames().empty() && option->get_positional()) {
      line += option->get_required() ? " " + option->get_name(true) : " [" + option->get_name(true) + "]";
    } else if (!option->get_lnames().empty() && option->get_lnames().front() != "help") {
      line += " [--" + option->get_lnames().front() +
              (option->get_expected_max() > 0 ? " " + valueName(*option) + "]" : "]");
    }
  }
  return line;
}

void writeOptions(const CLI::App& app, std::ostream& out) {
  for (const CLI::Option* option : app.get_options()) {
    if (!option->get_lnames().empty() && option->get_lnames().front() == "help") continue;
    std::string name =
        option->get_lnames().empty() ? option->get_name(true) : "--" + option->get_lnames().front();
    if (!option->get_lnames().empty() && option->get_expected_max() > 0) name += " " + valueName(*option);
    out << ".TP\n.B " << roff(name) << "\n" << roff(option->get_description()) << "\n";
  }
}

void writeManual(const CLI::App& app, std::ostream& out) {
  std::vector<CommandInfo> commands;
  collect(app, "", commands);
  out << ".TH QUILLBOX 1 \"\" \"" << roff(mainAppInfo().appTitle()) << "\" \"User Commands\"\n"
      << ".SH NAME\nquillbox \\- " << roff(app.get_description()) << "\n"
      << ".SH SYNOPSIS\n.B quillbox\n[\\-\\-home DIR] [\\-\\-cloud STORE] [\\-\\-cloud\\-ca FILE] COMMAND "
         "...\n"
      << ".SH DESCRIPTION\nEach list command loads its list from the cloud store, runs the operation, sends "
         "the changed list back and prints the rows. With no command, quillbox runs \\fBserve\\fR.\n"
      << ".SH OPTIONS\n";
  writeOptions(app, out);
  out << ".SH COMMANDS\n";
  for (const CommandInfo& command : commands) {
    if (command.words.empty() || !command.subcommands.empty()) continue;
    out << ".SS \"" << roff(synopsis(command)) << "\"\n" << roff(command.app->get_description()) << "\n";
    writeOptions(*command.app, out);
  }
  out << R"(.SH FILES
.TP
.I <home>
\-\-home DIR, else $QUILLBOX_HOME, else $XDG_DATA_HOME/quillbox, else ~/.local/share/quillbox.
.TP
.I <home>/settings.sqlite3
the device's lists, their history and the cloud writes waiting to be sent.
.TP
.I <home>/cloud/
the cloud store when no other is named: one file per list.
.TP
.I <home>/web\-token\fR, \fI<home>/web\-address
the page's secret, and the address quillbox serve last announced.
.TP
.I /etc/default/quillbox
the settings of the quillbox service (listen address, TLS files, cloud store, public origin).
.SH ENVIRONMENT
.TP
.B QUILLBOX_HOME
the home when \-\-home is not given.
.TP
.B QUILLBOX_CLOUD\fR, \fBQUILLBOX_CLOUD_TOKEN\fR, \fBQUILLBOX_CLOUD_CA
the cloud store, a device's token for a Quillbox server, and a certificate to trust.
.TP
.B QUILLBOX_REDIS_PASSWORD
the password of a redis:// cloud store.
.TP
.B QUILLBOX_LOCK_WAIT_MS
how long a command waits for the home's lock.
.SH EXIT STATUS
0 done; 1 a store could not be opened, read or written; 2 a usage error or a row that does not exist
(nothing is changed).
.SH EXAMPLES
.nf
quillbox notes add "Buy milk"
quillbox tasks add "Call the plumber" && quillbox tasks toggle 1 \-\-text "Call the plumber"
quillbox tags list \-\-json
quillbox serve \-\-listen 0.0.0.0:8443 \-\-tls\-cert cert.pem \-\-tls\-key key.pem
sudo \-u quillbox quillbox devices add phone
.fi
)";
}

// A case pattern matching the words of every command: " notes"|" notes list"|...
std::string commandPattern(const std::vector<CommandInfo>& commands) {
  std::string pattern;
  for (const CommandInfo& command : commands) {
    if (!command.words.empty())
      pattern += std::string(pattern.empty() ? "" : "|") + "\" " + command.words + "\"";
  }
  return pattern;
}

// Both shells follow the words typed so far through the commands, then offer what the command
// reached takes: each line indented by indent, case patterns opened by open, and each command's
// words wrapped in before and after.
void writeFollowing(const std::vector<CommandInfo>& commands, std::ostream& out, std::string_view indent,
                    std::string_view typed, std::string_view open, std::string_view before,
                    std::string_view after) {
  out << indent << "for w in " << typed << "; do\n"
      << indent << "  case \"$at $w\" in " << open << commandPattern(commands) << ") at=\"$at $w\" ;; esac\n"
      << indent << "done\n"
      << indent << "case \"$at\" in\n";
  for (const CommandInfo& command : commands) {
    out << indent << "  " << open << "\"" << (command.words.empty() ? "" : " " + command.words) << "\") "
        << before << joinedWords(wordsAt(command)) << after << " ;;\n";
  }
}

void writeBash(const std::vector<CommandInfo>& commands, std::ostream& out) {
  out << "# bash completion for quillbox\n_quillbox() {\n"
      << "  local cur=${COMP_WORDS[COMP_CWORD]} at=\"\" w words=\"\"\n";
  writeFollowing(commands, out, "  ", "\"${COMP_WORDS[@]:1:COMP_CWORD-1}\"", "", "words=\"", "\"");
  out << "  esac\n  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n}\ncomplete -F _quillbox quillbox\n";
}

void writeZsh(const std::vector<CommandInfo>& commands, std::ostream& out) {
  out << "#compdef quillbox\n# zsh completion for quillbox\nlocal at= w\n";
  writeFollowing(commands, out, "", "${words[2,CURRENT-1]}", "(", "compadd -- ", "");
  out << "esac\n";
}

void writeFish(const std::vector<CommandInfo>& commands, std::ostream& out) {
  out << "# fish completion for quillbox\ncomplete -c quillbox -f\n";
  for (const CommandInfo& command : commands) {
    std::string condition = "__fish_use_subcommand";
    if (!command.words.empty()) {
      condition.clear();
      std::string rest = command.words;
      for (std::size_t space; (space = rest.find(' ')) != std::string::npos; rest = rest.substr(space + 1))
        condition += "__fish_seen_subcommand_from " + rest.substr(0, space) + "; and ";
      condition += "__fish_seen_subcommand_from " + rest;
    }
    std::string nested;
    for (const CLI::App* sub : command.subcommands) nested += " " + sub->get_name();
    if (!command.words.empty() && !nested.empty())
      condition += "; and not __fish_seen_subcommand_from" + nested;
    for (const CLI::App* sub : command.subcommands) {
      out << "complete -c quillbox -n '" << condition << "' -a " << sub->get_name() << " -d '"
          << sub->get_description().substr(0, sub->get_description().find('\'')) << "'\n";
    }
    for (const std::string& option : longOptions(*command.app)) {
      out << "complete -c quillbox -n '" << condition << "' -l " << option.substr(2) << "\n";
    }
  }
}

}  // namespace

Status writeGenerated(const CLI::App& app, std::string_view form, std::ostream& out) {
  std::vector<CommandInfo> commands;
  collect(app, "", commands);
  if (form == "man")
    writeManual(app, out);
  else if (form == "bash")
    writeBash(commands, out);
  else if (form == "zsh")
    writeZsh(commands, out);
  else if (form == "fish")
    writeFish(commands, out);
  else
    return Status::Invalid("generate: man, bash, zsh or fish");
  return Status::Ok();
}

void addGenerateCommand(CLI::App& app, CommandContext& context, bool& homeless) {
  auto form = std::make_shared<std::string>();
  CLI::App* generate = app.add_subcommand("generate", "the manual page or a shell's completions");
  generate->group("");
  generate->add_option("FORM", *form, "man, bash, zsh or fish")->required();
  generate->callback([&app, &context, &homeless, form] {
    homeless = true;
    context.command = [&app, &context, form] { return writeGenerated(app, *form, context.out); };
  });
}

}  // namespace quillbox
