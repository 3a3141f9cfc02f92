#include "client/http.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "common/error.h"
#include "common/text.h"

namespace vrk {
namespace {

using CurlUrlPtr = std::unique_ptr<CURLU, FreeWith<curl_url_cleanup>>;

struct CurlFree {
  void operator()(char* p) const { curl_free(p); }
};
using CurlTextPtr = std::unique_ptr<char, CurlFree>;

constexpr std::string_view kSignatureHeader = "x-vrk-signature:";

// The part of url, or null when it is absent.
CurlTextPtr url_part(CURLU* u, CURLUPart part) {
  char* p = nullptr;
  if (curl_url_get(u, part, &p, 0) != CURLUE_OK) {
    return nullptr;
  }
  return CurlTextPtr(p);
}

int verify_pin(int preverify_ok, X509_STORE_CTX* store) {
  (void)preverify_ok;  // the pin replaces the chain check: a self-signed certificate is fine
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  HttpClient* client =
      ssl ? static_cast<HttpClient*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
  if (client == nullptr) {
    return 0;
  }
  // Issuers come first; only the leaf decides.
  if (X509_STORE_CTX_get_error_depth(store) != 0) {
    return 1;
  }
  bool match = pin_matches(X509_STORE_CTX_get_current_cert(store), client->pin);
  client->pin_checked = client->pin_checked || match;
  client->pin_mismatch = !match;
  return match ? 1 : 0;
}

CURLcode set_pin_callback(CURL* easy, void* ssl_ctx, void* data) {
  (void)easy;
  SSL_CTX* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  SSL_CTX_set_app_data(ctx, data);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verify_pin);
  return CURLE_OK;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  HttpReply* reply = static_cast<HttpReply*>(user);
  size_t n = size * count;
  if (reply->body.size() + n > kHttpReplyMax) {
    reply->too_large = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  reply->body.append(data, n);
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  HttpReply* reply = static_cast<HttpReply*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  if (line.size() >= kSignatureHeader.size() &&
      strncasecmp(line.data(), kSignatureHeader.data(), kSignatureHeader.size()) == 0) {
    reply->signature = std::string(text_trim(line.substr(kSignatureHeader.size())));
    ++reply->signature_count;
  }
  return n;
}

}  // namespace

int http_client_open(const char* url, const char* ca_file, const CertPin* pin, HttpClient& client,
                     std::span<char> err) {
  err_set(err, "%s", "");
  CurlUrlPtr u(curl_url());
  if (!u) {
    err_set(err, "out of memory");
    return -1;
  }
  bool ok = curl_url_set(u.get(), CURLUPART_URL, url, 0) == CURLUE_OK;
  CurlTextPtr scheme = ok ? url_part(u.get(), CURLUPART_SCHEME) : nullptr;
  CurlTextPtr path = ok ? url_part(u.get(), CURLUPART_PATH) : nullptr;
  ok = ok && scheme && strcmp(scheme.get(), "https") == 0 &&
       (!path || strcmp(path.get(), "/") == 0) && !url_part(u.get(), CURLUPART_QUERY) &&
       !url_part(u.get(), CURLUPART_FRAGMENT) && !url_part(u.get(), CURLUPART_USER);
  // The path check alone would let "https://h/." through: curl normalises it to "/".
  std::string_view raw(url);
  size_t host_start = raw.find("://");
  ok =
      ok && host_start != std::string_view::npos && raw.find('/', host_start + 3) >= raw.size() - 1;
  if (!ok) {
    err_set(err, "--url must look like https://<host>[:<port>] (got '%s')", url);
    return -1;
  }
  CurlTextPtr host = url_part(u.get(), CURLUPART_HOST);
  CurlTextPtr port = url_part(u.get(), CURLUPART_PORT);
  HttpClient c;
  c.origin = std::string("https://") + host.get() + (port ? std::string(":") + port.get() : "");
  c.easy.reset(curl_easy_init());
  if (!c.easy) {
    err_set(err, "cannot set up libcurl");
    return -1;
  }
  CURL* e = c.easy.get();
  bool set = curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kHttpConnectTimeoutSeconds) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_TIMEOUT, kHttpTimeoutSeconds) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
             // Only the command line decides where the client connects: no proxy from the
             // environment.
             curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
  if (set && pin != nullptr) {
    // The pin is the whole check: curl's own chain and name checks would refuse the
    // self-signed certificate before the pin is looked at. No session resumption, so every
    // new connection goes through the verify callback again.
    c.pinned = true;
    c.pin = *pin;
    set = curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, set_pin_callback) == CURLE_OK;
    if (!set) {
      err_set(err, "this libcurl cannot check a pinned fingerprint (it needs OpenSSL)");
      return -1;
    }
  } else if (set) {
    set = curl_easy_setopt(e, CURLOPT_CAINFO, ca_file) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_CAPATH, nullptr) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
          curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  }
  if (!set) {
    err_set(err, "cannot set up libcurl");
    return -1;
  }
  client = std::move(c);
  return 0;
}

int http_exchange(HttpClient& client, const HttpRequest& request, HttpReply& reply,
                  std::span<char> err) {
  err_set(err, "%s", "");
  reply = HttpReply{};
  CURL* e = client.easy.get();
  std::string url = client.origin;
  url.append(request.target);
  // Headers are built here so the buffer that held them can be wiped afterwards.
  char line[512];
  CurlSlistPtr headers;
  auto add = [&headers](const char* text) {
    curl_slist* next = curl_slist_append(headers.get(), text);
    if (next == nullptr) {
      return false;
    }
    (void)headers.release();
    headers.reset(next);
    return true;
  };
  bool ok = add("Accept: application/json") && add("Expect:");
  if (ok && request.authorization != nullptr) {
    snprintf(line, sizeof line, "Authorization: %s", request.authorization);
    ok = add(line);
    OPENSSL_cleanse(line, sizeof line);
  }
  if (ok && !request.if_match.empty()) {
    snprintf(line, sizeof line, "If-Match: %.*s", static_cast<int>(request.if_match.size()),
             request.if_match.data());
    ok = add(line);
  }
  if (ok && !request.body.empty()) {
    ok = add("Content-Type: application/json");
  }
  if (!ok) {
    err_set(err, "out of memory");
    return -1;
  }
  bool get = strcmp(request.method, "GET") == 0;
  char curl_err[CURL_ERROR_SIZE] = {};
  client.pin_mismatch = false;
  ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_ERRORBUFFER, curl_err) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_WRITEDATA, &reply) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_HEADERDATA, &reply) == CURLE_OK &&
       curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &client) == CURLE_OK;
  if (ok && get) {
    ok = curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr) == CURLE_OK;
  } else if (ok) {
    // POSTFIELDS with an explicit size sends exactly these bytes (also none) under any method.
    ok = curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                          static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data()) == CURLE_OK &&
         curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method) == CURLE_OK;
  }
  CURLcode rc = ok ? curl_easy_perform(e) : CURLE_FAILED_INIT;
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
  if (client.pinned && client.pin_mismatch) {
    err_set(err, "%s: the server's certificate does not match the pinned fingerprint",
            client.origin.c_str());
    return -1;
  }
  if (rc == CURLE_WRITE_ERROR && reply.too_large) {
    err_set(err, "%s: the answer is larger than %zu bytes", client.origin.c_str(), kHttpReplyMax);
    return -1;
  }
  if (rc != CURLE_OK) {
    err_set(err, "%s: %s", client.origin.c_str(),
            curl_err[0] != '\0' ? curl_err : curl_easy_strerror(rc));
    return -1;
  }
  // A reused connection was checked when it was opened; a new one always goes through the
  // callback (session resumption is off).
  if (client.pinned && !client.pin_checked) {
    err_set(err, "%s: the server's certificate was not checked against the pin",
            client.origin.c_str());
    return -1;
  }
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
  return 0;
}

}  // namespace vrk
