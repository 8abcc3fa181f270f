#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace quillbox {

// What `quillbox serve` announces as its address, and where devices are sent.

// A --public-origin or --server value as an origin: "http(s)://HOST[:PORT]", a trailing '/' dropped.
// Invalid, naming the option and the value, for another scheme, a path, user information, or
// characters an origin never holds.
Result<std::string> parseOrigin(std::string_view option, std::string_view text);

// The DNS name a certificate names first (its subjectAltName, else its common name): the name a
// device must dial for the certificate to match. "" when the file cannot be read or names none.
std::string certificateName(const std::filesystem::path& pemFile);

// How `serve` names itself to devices.
struct AnnounceInput {
  std::vector<std::string> publicOrigins;     // given: the first is announced
  std::string scheme;                         // "http://" or "https://"
  std::string listenHost;                     // as --listen gave it
  int port = 0;                               // the port actually bound
  std::string certificateName;                // "" without TLS or when the certificate names none
  std::vector<std::string> networkAddresses;  // this machine's addresses, for a wildcard listen
  std::string machineName;
};

// The origins `serve` prints, the announced one first: the first public origin; else, for a
// wildcard listen address (0.0.0.0, ::), the certificate's name, else the machine's network
// addresses, else its name; else the listen host itself. Always the real scheme and port.
std::vector<std::string> announcedOrigins(const AnnounceInput& input);

// True when standard output is the journal's stream (systemd's JOURNAL_STREAM, "DEVICE:INODE",
// names the file standard output is).
bool outputGoesToJournal(const char* journalStream);

}  // namespace quillbox
