#include "platform/transports/https_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>

namespace quillbox {

namespace {

constexpr int kMaxTimeoutMs = 600000;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
  return out;
}

bool parseNumber(std::string_view text, int lowest, int highest, int& out) {
  int value = 0;
  auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || problem != std::errc() || end != text.data() + text.size()) return false;
  if (value < lowest || value > highest) return false;
  out = value;
  return true;
}

bool isIpAddress(const std::string& host) {
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

std::size_t takeBody(char* data, std::size_t size, std::size_t count, void* reply) {
  static_cast<HttpsReply*>(reply)->body.append(data, size * count);
  return size * count;
}

// A header line of the answer; a status line (an interim answer's too) starts the list again.
std::size_t takeHeader(char* data, std::size_t size, std::size_t count, void* reply) {
  auto& out = *static_cast<HttpsReply*>(reply);
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    out.headers.clear();
  } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    out.headers.emplace_back(lowered(line.substr(0, colon)), std::string(value));
  }
  return size * count;
}

}  // namespace

std::string HttpsAddress::text() const {
  std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return "https://" + shown + ":" + std::to_string(port) + path;
}

Result<HttpsAddress> parseHttpsAddress(std::string_view text) {
  auto bad = [&](const std::string& why) {
    return Status::Invalid("bad cloud address \"" + std::string(text) + "\": " + why);
  };
  constexpr std::string_view kScheme = "https://";
  if (text.substr(0, kScheme.size()) != kScheme) return bad("it must start with https://");
  std::string_view rest = text.substr(kScheme.size());
  if (rest.find('#') != std::string_view::npos) return bad("it may not have a fragment");
  std::string_view query;
  if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
    query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "/" : rest.substr(slash);
  if (authority.find('@') != std::string_view::npos) return bad("it may not hold a user name or password");
  HttpsAddress address;
  std::string_view portText;
  if (authority.starts_with("[")) {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return bad("an IPv6 address needs its closing ]");
    address.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) return bad("stray characters after the host");
    if (!after.empty()) portText = after.substr(1);
    if (!isIpAddress(address.host) || address.host.find(':') == std::string::npos)
      return bad("not an IPv6 address in brackets");
  } else {
    std::size_t colon = authority.find(':');
    address.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    for (char c : address.host) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'))
        return bad("not a host name");
    }
  }
  if (address.host.empty()) return bad("it names no host");
  if (authority.find(':') != std::string_view::npos && !parseNumber(portText, 1, 65535, address.port))
    return bad("the port is not a number from 1 to 65535");
  if (!path.ends_with("/")) return bad("its path must end with /");
  for (char c : path) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f || c == '%')
      return bad("its path holds characters it may not");
  }
  address.path = std::string(path);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    constexpr std::string_view kTimeout = "timeout_ms=";
    if (!pair.starts_with(kTimeout) ||
        !parseNumber(pair.substr(kTimeout.size()), 1, kMaxTimeoutMs, address.timeoutMs))
      return bad("the only parameter is timeout_ms, from 1 to " + std::to_string(kMaxTimeoutMs));
  }
  return address;
}

std::string_view HttpsReply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return {};
}

// One curl handle: it keeps its connection (and TLS session) between calls.
struct HttpsClient::Impl {
  HttpsAddress address;
  CURL* curl = nullptr;
  std::vector<X509*> extra;  // --cloud-ca's certificates, trusted besides the system's

  ~Impl() {
    if (curl) curl_easy_cleanup(curl);
    for (X509* certificate : extra) X509_free(certificate);
  }

  // Adds the extra certificates to those the system trusts, for each new connection.
  static CURLcode addExtra(CURL*, void* context, void* self) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    for (X509* certificate : static_cast<Impl*>(self)->extra) X509_STORE_add_cert(store, certificate);
    ERR_clear_error();  // a certificate the system already holds is no failure
    return CURLE_OK;
  }

  Status failure(CURLcode code, const char* detail) const {
    const std::string reason = detail[0] != '\0' ? detail : curl_easy_strerror(code);
    if (code == CURLE_OPERATION_TIMEDOUT)
      return Status::Unavailable("the cloud server at " + address.text() + " did not answer within " +
                                 std::to_string(address.timeoutMs) + " ms");
    if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE)
      return Status::Unavailable("cannot reach the cloud server at " + address.text() +
                                 ": its certificate does not verify (" + reason + ")");
    if (code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_UNSUPPORTED_PROTOCOL)
      return Status::Error("the cloud server at " + address.text() + " sent an answer that is not HTTP");
    return Status::Unavailable("cannot reach the cloud server at " + address.text() + ": " + reason);
  }
};

HttpsClient::HttpsClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpsClient::~HttpsClient() = default;

const HttpsAddress& HttpsClient::address() const { return impl_->address; }

Result<std::unique_ptr<HttpsClient>> HttpsClient::open(HttpsAddress address, const std::string& caFile) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  auto impl = std::make_unique<Impl>();
  impl->address = std::move(address);
  if (!caFile.empty()) {
    FILE* file = std::fopen(caFile.c_str(), "r");
    if (file == nullptr)
      return Status::Error("cannot read the certificates in " + caFile + ": cannot open it");
    while (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr))
      impl->extra.push_back(certificate);
    std::fclose(file);
    ERR_clear_error();
    if (impl->extra.empty())
      return Status::Error("cannot read the certificates in " + caFile + ": not a certificate file");
  }
  impl->curl = curl_easy_init();
  if (impl->curl == nullptr) return Status::Error("cannot set up secure connections");
  return std::unique_ptr<HttpsClient>(new HttpsClient(std::move(impl)));
}

Result<HttpsReply> HttpsClient::request(std::string_view method, std::string_view target,
                                        const HttpsHeaders& headers, std::string_view body) {
  Impl& s = *impl_;
  CURL* curl = s.curl;
  curl_easy_reset(curl);  // the options go; the kept connection stays
  const std::string host =
      s.address.host.find(':') != std::string::npos ? "[" + s.address.host + "]" : s.address.host;
  const std::string url = "https://" + host + ":" + std::to_string(s.address.port) + std::string(target);
  const std::string verb(method);
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) list = curl_slist_append(list, (name + ": " + value).c_str());
  HttpsReply reply;
  char detail[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(s.address.timeoutMs));
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!s.extra.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &Impl::addExtra);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &s);
  }
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());
  if (!body.empty() || method == "PUT" || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else if (method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &takeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &takeHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(list);
  if (code != CURLE_OK) return s.failure(code, detail);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  reply.status = static_cast<int>(status);
  return reply;
}

}  // namespace quillbox
