#include "app/cli/announce.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "base/escape.h"

namespace quillbox {

Result<std::string> parseOrigin(std::string_view option, std::string_view text) {
  std::string origin(text);
  while (origin.ends_with('/')) origin.pop_back();
  const std::size_t scheme = origin.starts_with("https://") ? 8 : origin.starts_with("http://") ? 7 : 0;
  bool fits = scheme != 0 && origin.size() > scheme && origin.size() <= 300;
  for (std::size_t i = scheme; fits && i < origin.size(); ++i) {
    auto c = static_cast<unsigned char>(origin[i]);
    fits = std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
  }
  if (!fits) {
    return Status::Invalid(std::string(option) +
                           " wants an origin, https://HOST[:PORT] with no path: " + terminalSafe(text));
  }
  return origin;
}

std::string certificateName(const std::filesystem::path& pemFile) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(pemFile.c_str(), "r"), &std::fclose);
  if (!file) return "";
  std::unique_ptr<X509, void (*)(X509*)> certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                     &X509_free);
  if (!certificate) return "";
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr));
  std::string found;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && found.empty(); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type != GEN_DNS) continue;
    const ASN1_IA5STRING* dns = name->d.dNSName;
    found.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                 static_cast<std::size_t>(ASN1_STRING_length(dns)));
  }
  GENERAL_NAMES_free(names);
  if (found.empty()) {
    char common[256] = {};
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    if (X509_NAME_get_text_by_NID(subject, NID_commonName, common, sizeof common) > 0) found = common;
  }
  // A wildcard name is no host a device can dial; nor is anything an origin cannot hold.
  bool dialable = !found.empty() && std::all_of(found.begin(), found.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-';
  });
  return dialable ? found : "";
}

std::vector<std::string> announcedOrigins(const AnnounceInput& input) {
  std::vector<std::string> origins = input.publicOrigins;
  const std::string port = ":" + std::to_string(input.port);
  auto add = [&](const std::string& host) {
    std::string origin = input.scheme + host + port;
    if (std::find(origins.begin(), origins.end(), origin) == origins.end()) origins.push_back(origin);
  };
  if (input.listenHost == "0.0.0.0" || input.listenHost == "::") {
    if (!input.certificateName.empty()) add(input.certificateName);
    for (const std::string& address : input.networkAddresses) add(address);
    if (origins.empty()) add(input.machineName.empty() ? "localhost" : input.machineName);
  } else {
    std::string host = input.listenHost;
    if (host.find(':') != std::string::npos) host.insert(0, "[").append("]");  // IPv6
    add(host);
  }
  return origins;
}

bool outputGoesToJournal(const char* journalStream) {
  if (journalStream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(journalStream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat out {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == device && out.st_ino == inode;
}

}  // namespace quillbox
