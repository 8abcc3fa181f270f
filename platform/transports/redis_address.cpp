#include "platform/transports/redis_address.h"

#include <set>
#include <string>
#include <utility>

#include "base/decimal.h"
#include "base/escape.h"

namespace quillbox {

namespace {

constexpr std::string_view kMask = "****";
constexpr int kMaxTimeoutMs = 60000;
constexpr std::size_t kMaxNamespaceLength = 100;
// sockaddr_un holds 108 bytes, the terminating NUL included; a longer path would be cut short.
constexpr std::size_t kMaxSocketPathLength = 107;

bool isUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Nothing when a '%' is not followed by two hex digits.
std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hexValue(text[i + 1]);
    int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// Keeps unreserved characters and those in keep; escapes the rest.
std::string percentEncode(std::string_view text, std::string_view keep = "") {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (isUnreserved(c) || keep.find(c) != std::string_view::npos) {
      out += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// A whole decimal number within [low, high], or nothing.
std::optional<int> parseNumber(std::string_view text, int low, int high) {
  const std::optional<std::uint64_t> value = parseDecimal(text, static_cast<std::uint64_t>(high));
  if (!value || *value < static_cast<std::uint64_t>(low)) return std::nullopt;
  return static_cast<int>(*value);
}

bool isHostName(std::string_view host) {
  for (char c : host) {
    if (!isUnreserved(c) || c == '~') return false;
  }
  return !host.empty();
}

bool isIpv6Literal(std::string_view host) {
  for (char c : host) {
    if (hexValue(c) < 0 && c != ':' && c != '.') return false;
  }
  return host.find(':') != std::string_view::npos;
}

bool isNamespace(std::string_view name) {
  if (name.empty() || name.size() > kMaxNamespaceLength) return false;
  for (char c : name) {
    if (!isUnreserved(c) || c == '~') return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<RedisAddress> parse() {
    std::size_t schemeEnd = text_.find("://");
    if (schemeEnd == std::string_view::npos) {
      return fail("it must begin with redis:// or unix://");
    }
    std::string scheme;
    for (char c : text_.substr(0, schemeEnd)) scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::string_view rest = text_.substr(schemeEnd + 3);
    if (rest.find('#') != std::string_view::npos) {
      return fail("'#' has no place in it (write it as %23 in a user name or password)");
    }
    std::string_view query;
    if (std::size_t q = rest.find('?'); q != std::string_view::npos) {
      query = rest.substr(q + 1);
      rest = rest.substr(0, q);
    }
    Status status = Status::Ok();
    if (scheme == "redis") {
      status = parseTcp(rest);
    } else if (scheme == "unix") {
      address_.isUnixSocket = true;
      status = parseUnix(rest);
    } else if (scheme == "rediss") {
      return fail("TLS (rediss://) is not supported; use redis:// or unix://");
    } else {
      return fail("the scheme must be redis:// or unix://");
    }
    if (!status.ok()) return status;
    if (Status s = parseQuery(query); !s.ok()) return s;
    return std::move(address_);
  }

 private:
  Status fail(std::string_view why) const {
    return Status::Error("bad Redis address \"" + maskRedisAddress(text_) + "\": " + std::string(why));
  }

  // "[user[:password]@]": the part before the last '@' of authority, which is left with the rest.
  Status parseUserInfo(std::string_view* authority) {
    std::size_t at = authority->rfind('@');
    if (at == std::string_view::npos) return Status::Ok();
    std::string_view info = authority->substr(0, at);
    *authority = authority->substr(at + 1);
    std::string_view user = info;
    std::optional<std::string_view> password;
    if (std::size_t colon = info.find(':'); colon != std::string_view::npos) {
      user = info.substr(0, colon);
      password = info.substr(colon + 1);
    }
    std::optional<std::string> decodedUser = percentDecode(user);
    std::optional<std::string> decodedPassword = password ? percentDecode(*password) : std::string();
    if (!decodedUser || !decodedPassword) {
      return fail("a '%' in the user name or password is not followed by two hex digits");
    }
    if (!decodedUser->empty()) address_.user = std::move(*decodedUser);
    if (password) address_.password = std::move(*decodedPassword);
    return Status::Ok();
  }

  Status parseTcp(std::string_view rest) {
    std::string_view authority = rest;
    std::string_view path;
    if (std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
      authority = rest.substr(0, slash);
      path = rest.substr(slash);
    }
    if (path.find('@') != std::string_view::npos) {
      return fail("unexpected '@' after the host (write it as %40 in a user name or password)");
    }
    if (Status s = parseUserInfo(&authority); !s.ok()) return s;

    std::string_view host = authority;
    std::optional<std::string_view> port;
    if (!authority.empty() && authority.front() == '[') {
      std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return fail("an IPv6 address in '[' has no closing ']'");
      host = authority.substr(1, close - 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after.front() != ':') return fail("unexpected text after the IPv6 address");
        port = after.substr(1);
      }
      if (!isIpv6Literal(host)) return fail(inQuotes(host).append(" is not an IPv6 address"));
    } else {
      if (std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
      }
      if (host.empty()) return fail("it names no host");
      if (!isHostName(host)) return fail(inQuotes(host).append(" is not a host name or address"));
    }
    address_.host = std::string(host);
    if (port) {
      std::optional<int> number = parseNumber(*port, 1, 65535);
      if (!number) return fail("the port \"" + std::string(*port) + "\" is not a number from 1 to 65535");
      address_.port = *number;
    }
    if (path.size() > 1) {
      std::optional<int> number = parseNumber(path.substr(1), 0, 999999);
      if (!number) {
        return fail("the database \"" + std::string(path.substr(1)) + "\" is not a number from 0");
      }
      address_.db = *number;
    }
    return Status::Ok();
  }

  Status parseUnix(std::string_view rest) {
    std::string_view path = rest;
    if (rest.empty() || rest.front() != '/') {
      std::size_t slash = rest.find("@/");
      if (slash == std::string_view::npos) {
        return fail("a Unix socket address is unix:///absolute/path/to/socket");
      }
      std::string_view authority = rest.substr(0, slash + 1);
      path = rest.substr(slash + 1);
      if (Status s = parseUserInfo(&authority); !s.ok()) return s;
    }
    std::optional<std::string> decoded = percentDecode(path);
    if (!decoded) return fail("a '%' in the socket path is not followed by two hex digits");
    if (decoded->size() < 2 || decoded->back() == '/') return fail("it names no socket file");
    if (decoded->find('\0') != std::string::npos) return fail("the socket path holds a NUL byte");
    if (decoded->size() > kMaxSocketPathLength) {
      return fail("the socket path is longer than " + std::to_string(kMaxSocketPathLength) + " bytes");
    }
    address_.socketPath = std::move(*decoded);
    return Status::Ok();
  }

  Status parseQuery(std::string_view query) {
    std::set<std::string, std::less<>> seen;
    while (!query.empty()) {
      std::size_t amp = query.find('&');
      std::string_view pair = query.substr(0, amp);
      query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
      if (pair.empty()) continue;
      std::size_t eq = pair.find('=');
      std::string_view name = pair.substr(0, eq);
      std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      if (!seen.insert(std::string(name)).second) {
        return fail("the parameter \"" + std::string(name) + "\" is given twice");
      }
      if (name == "namespace") {
        std::optional<std::string> decoded = percentDecode(value);
        if (!decoded || !isNamespace(*decoded)) {
          return fail("the namespace must be 1 to 100 letters, digits, '_', '-' or '.'");
        }
        address_.nameSpace = std::move(*decoded);
      } else if (name == "timeout_ms") {
        std::optional<int> number = parseNumber(value, 1, kMaxTimeoutMs);
        if (!number) return fail("timeout_ms must be a number of milliseconds from 1 to 60000");
        address_.timeoutMs = *number;
      } else if (name == "db" && address_.isUnixSocket) {
        std::optional<int> number = parseNumber(value, 0, 999999);
        if (!number) return fail("the database \"" + std::string(value) + "\" is not a number from 0");
        address_.db = *number;
      } else {
        return fail("unknown parameter \"" + std::string(name) +
                    (address_.isUnixSocket ? "\" (known: namespace, timeout_ms, db)"
                                           : "\" (known: namespace, timeout_ms)"));
      }
    }
    return Status::Ok();
  }

  std::string_view text_;
  RedisAddress address_;
};

}  // namespace

std::string RedisAddress::masked() const {
  std::string out = isUnixSocket ? "unix://" : "redis://";
  if (user || password) {
    if (user) out += percentEncode(*user);
    if (password) out.append(":").append(kMask);
    out += '@';
  }
  if (isUnixSocket) {
    out += percentEncode(socketPath, "/!$&'()*+,;=:@");
  } else {
    if (host.find(':') != std::string::npos) {
      out.append("[").append(host).append("]");
    } else {
      out += host;
    }
    out.append(":").append(std::to_string(port)).append("/").append(std::to_string(db));
  }
  out.append("?namespace=").append(nameSpace);
  if (isUnixSocket && db != 0) out.append("&db=").append(std::to_string(db));
  if (timeoutMs != kDefaultTimeoutMs) out += "&timeout_ms=" + std::to_string(timeoutMs);
  return out;
}

std::string RedisAddress::serverKey(std::string_view key) const {
  std::string out;
  out.reserve(nameSpace.size() + 1 + key.size());
  out += nameSpace;
  out += ':';
  out += key;
  return out;
}

Result<RedisAddress> parseRedisAddress(std::string_view text) { return Parser(text).parse(); }

std::string maskRedisAddress(std::string_view text) {
  std::size_t schemeEnd = text.find("://");
  std::size_t start = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
  std::string_view rest = text.substr(start);
  // Conservative: everything between the first ':' and the last '@' may be a password.
  std::size_t at = rest.rfind('@');
  if (at == std::string_view::npos) return std::string(text);
  std::size_t colon = rest.substr(0, at).find(':');
  if (colon == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, start)) + std::string(rest.substr(0, colon)) + ":" + std::string(kMask) +
         std::string(rest.substr(at));
}

}  // namespace quillbox
