#include "platform/web/web_security.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/store/whole_file.h"

namespace quillbox::web {

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr const char* kTokenFile = "web-token";
constexpr const char* kAddressFile = "web-address";

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool isIpv4(std::string_view text) {
  in_addr address{};
  return inet_pton(AF_INET, std::string(text).c_str(), &address) == 1;
}

bool isIpv6(std::string_view text) {
  in6_addr address{};
  return inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool isHexToken(std::string_view text) {
  return text.size() == kTokenBytes * 2 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c));
         });
}

std::string randomToken() {
  std::random_device device;  // the kernel's random source
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (std::size_t i = 0; i < kTokenBytes; i += 4) {
    std::uint32_t word = device();
    for (int b = 0; b < 4; ++b) {
      auto byte = static_cast<unsigned char>(word >> (8 * b));
      token += kHex[byte >> 4];
      token += kHex[byte & 0xf];
    }
  }
  return token;
}

// Splits "name:port" or "[v6]:port"; port is "" when absent.
bool splitHostPort(std::string_view text, std::string& host, std::string& port) {
  if (text.empty()) return false;
  if (text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) {
      port.clear();
      return true;
    }
    if (rest.front() != ':') return false;
    port = std::string(rest.substr(1));
    return true;
  }
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    host = std::string(text);
    port.clear();
    return true;
  }
  if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
  host = std::string(text.substr(0, colon));
  port = std::string(text.substr(colon + 1));
  return true;
}

bool parsePort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 0 && port <= 65535;
}

}  // namespace

Result<ListenAddress> parseListenAddress(std::string_view text) {
  std::string host, port;
  if (!splitHostPort(text, host, port) || host.empty()) {
    return Status::Invalid("--listen wants HOST:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080");
  }
  for (char c : host) {
    auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '.' || c == '-' || c == ':' || c == '%' || c == '_')) {
      return Status::Invalid("--listen: not a host name: " + host);
    }
  }
  ListenAddress address{host, 0};
  if (!parsePort(port, address.port))
    return Status::Invalid("--listen: not a port from 0 to 65535: \"" + port + "\"");
  return address;
}

bool isLoopbackHost(std::string_view host) {
  std::string name = lower(host);
  if (name == "localhost" || name == "::1") return true;
  in_addr address{};
  if (inet_pton(AF_INET, name.c_str(), &address) == 1) return (ntohl(address.s_addr) >> 24) == 127;
  return false;
}

Result<std::string> loadOrCreateToken(const std::filesystem::path& home) {
  std::filesystem::path path = home / kTokenFile;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (isHexToken(text)) {
        if (::chmod(path.c_str(), 0600) != 0) {
          return Status::Error("cannot keep " + path.string() + " private: " + std::strerror(errno));
        }
        return text;
      }
    }
  }
  // A new token replaces the old one whole, private to the user, and durably.
  std::string token = randomToken();
  if (Status written = writeFileAtomically(path, token + "\n"); !written.ok()) return written;
  return token;
}

Status saveServerAddress(const std::filesystem::path& home, std::string_view origin) {
  return writeFileAtomically(home / kAddressFile, std::string(origin) + "\n");
}

std::string loadServerAddress(const std::filesystem::path& home) {
  Result<std::optional<std::string>> kept = readRegularFile(home / kAddressFile);
  if (!kept || !kept.value()) return "";
  std::string text = std::move(*kept.value());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  // An origin, with no path: anything else in the file is not ours.
  const std::size_t scheme = text.starts_with("https://") ? 8 : text.starts_with("http://") ? 7 : 0;
  if (scheme == 0 || text.size() == scheme || text.size() > 300) return "";
  for (std::size_t i = scheme; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_')) return "";
  }
  return text;
}

std::string socketToken(std::string_view protocols) {
  while (!protocols.empty()) {
    std::size_t comma = protocols.find(',');
    std::string_view offered = protocols.substr(0, comma);
    protocols.remove_prefix(comma == std::string_view::npos ? protocols.size() : comma + 1);
    while (!offered.empty() && (offered.front() == ' ' || offered.front() == '\t')) offered.remove_prefix(1);
    while (!offered.empty() && (offered.back() == ' ' || offered.back() == '\t')) offered.remove_suffix(1);
    if (offered.substr(0, kSocketTokenPrefix.size()) == kSocketTokenPrefix)
      return std::string(offered.substr(kSocketTokenPrefix.size()));
  }
  return "";
}

bool sameSecret(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    auto y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned char>(x ^ y);
  }
  return difference == 0;
}

RequestGuard::RequestGuard(std::string host, int port, std::string token,
                           std::vector<std::string> machineNames, std::vector<std::string> publicOrigins)
    : host_(lower(host)), port_(port), token_(std::move(token)) {
  for (const std::string& name : machineNames) {
    if (!name.empty()) names_.push_back(lower(name));
  }
  for (const std::string& origin : publicOrigins) {
    std::size_t scheme = origin.find("://");
    if (scheme == std::string::npos || origin.size() == scheme + 3) continue;
    origins_.push_back(lower(origin));
    std::string authority = lower(origin.substr(scheme + 3));
    authorities_.push_back(authority);
    // A browser leaves the scheme's own port out; a proxy may put it in.
    if (authority.find(':', authority.rfind(']') == std::string::npos ? 0 : authority.rfind(']')) ==
        std::string::npos)
      authorities_.push_back(authority + (origin.rfind("https", 0) == 0 ? ":443" : ":80"));
  }
}

bool RequestGuard::isPublicOrigin(std::string_view origin) const {
  return !origin.empty() && std::find(origins_.begin(), origins_.end(), lower(origin)) != origins_.end();
}

bool RequestGuard::hostAllowed(std::string_view hostHeader) const {
  if (std::find(authorities_.begin(), authorities_.end(), lower(hostHeader)) != authorities_.end())
    return true;
  std::string host, portText;
  if (!splitHostPort(hostHeader, host, portText) || host.empty()) return false;
  int port = 80;
  if (!portText.empty() && !parsePort(portText, port)) return false;
  if (port != port_) return false;
  host = lower(host);
  if (isLoopbackHost(host_)) return host == "127.0.0.1" || host == "localhost" || host == "::1";
  if (isIpv4(host) || isIpv6(host) || host == "localhost" || host == host_) return true;
  return std::find(names_.begin(), names_.end(), host) != names_.end();
}

bool RequestGuard::originAllowed(std::string_view origin, std::string_view hostHeader,
                                 std::string_view fetchSite, bool secure) {
  if (!origin.empty())
    return !hostHeader.empty() && origin == (secure ? "https://" : "http://") + std::string(hostHeader);
  return fetchSite.empty() || fetchSite == "same-origin" || fetchSite == "none";
}

bool RequestGuard::tokenMatches(std::string_view secret) const {
  return !token_.empty() && sameSecret(secret, token_);
}

}  // namespace quillbox::web
