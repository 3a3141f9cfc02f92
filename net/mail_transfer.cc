#include "net/mail_transfer.h"

#include <stdio.h>
#include <string.h>

#include <new>
#include <string_view>

#include "common/error.h"
#include "common/text.h"

namespace vrk {

namespace {

// The connect phase never waits longer than this, whatever the total time-out.
constexpr long kConnectTimeoutMax = 30;

// Hands the library the next part of the message copy; 0 at the end ends the DATA phase.
size_t read_message(char* buffer, size_t size, size_t nitems, void* userdata) {
  auto* t = static_cast<MailTransfer*>(userdata);
  size_t want = size * nitems;
  size_t left = t->message_length - t->read_position;
  size_t n = want < left ? want : left;
  memcpy(buffer, t->message.get() + t->read_position, n);
  t->read_position += n;
  return n;
}

// Applies options in order and keeps the first failure, so the set-up reads as one list.
class Options {
 public:
  explicit Options(CURL* h) : h_(h) {}
  template <typename T>
  void set(CURLoption option, T value) {
    if (rc_ == CURLE_OK) {
      rc_ = curl_easy_setopt(h_, option, value);
    }
  }
  CURLcode rc() const { return rc_; }

 private:
  CURL* h_;
  CURLcode rc_ = CURLE_OK;
};

}  // namespace

void mail_transfer_free(MailTransfer* transfer) {
  delete transfer;
}

MailTransferPtr mail_transfer_new(const MailSettings& settings, const char* message, size_t length,
                                  std::span<char> err) {
  err_set(err, "%s", "");
  MailTransferPtr t(new (std::nothrow) MailTransfer);
  if (!t) {
    err_set(err, "out of memory");
    return nullptr;
  }
  t->message.reset(new (std::nothrow) char[length > 0 ? length : 1]);
  t->handle.reset(curl_easy_init());
  if (!t->message || !t->handle) {
    err_set(err, "out of memory");
    return nullptr;
  }
  if (length > 0) {
    memcpy(t->message.get(), message, length);
  }
  t->message_length = length;

  uint32_t mode = settings.tls_mode;
  std::string_view host = text_view(settings.smtp_host);
  bool brackets = host.find(':') != std::string_view::npos;
  int n =
      snprintf(t->url, sizeof(t->url), "%s://%s%s%s:%u", mode == kMailTlsSmtps ? "smtps" : "smtp",
               brackets ? "[" : "", settings.smtp_host, brackets ? "]" : "", settings.smtp_port);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(t->url)) {
    err_set(err, "mail server address too long");
    return nullptr;
  }

  char from[kMailAddressSize + 2];
  snprintf(from, sizeof(from), "<%s>", settings.from);
  int count = settings.recipient_count;
  count = count < 0 ? 0 : (count > kMailMaxRecipients ? kMailMaxRecipients : count);
  for (int i = 0; i < count; ++i) {
    char rcpt[kMailAddressSize + 2];
    snprintf(rcpt, sizeof(rcpt), "<%s>", settings.recipients[i]);
    curl_slist* grown = curl_slist_append(t->recipients.get(), rcpt);
    if (grown == nullptr) {
      err_set(err, "out of memory");
      return nullptr;
    }
    // curl_slist_append returns the same head once the list exists.
    if (!t->recipients) {
      t->recipients.reset(grown);
    }
  }

  long timeout = static_cast<long>(settings.timeout_seconds);
  Options o(t->handle.get());
  o.set(CURLOPT_ERRORBUFFER, t->error);
  o.set(CURLOPT_PRIVATE, static_cast<void*>(t.get()));
  o.set(CURLOPT_NOSIGNAL, 1L);
  o.set(CURLOPT_URL, t->url);
  o.set(CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  // STARTTLS and implicit TLS both insist on TLS for the whole session: a server that does not
  // offer STARTTLS fails the delivery instead of getting the mail in clear text.
  o.set(CURLOPT_USE_SSL,
        static_cast<long>(mode == kMailTlsNone ? CURLUSESSL_NONE : CURLUSESSL_ALL));
  o.set(CURLOPT_SSL_VERIFYPEER, 1L);
  o.set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (settings.ca_file[0] != '\0') {
    o.set(CURLOPT_CAINFO, settings.ca_file);
  }
  if (settings.smtp_user[0] != '\0') {
    // The library keeps its own copies; the settings' buffers stay the caller's to wipe.
    o.set(CURLOPT_USERNAME, settings.smtp_user);
    o.set(CURLOPT_PASSWORD, settings.smtp_password);
  }
  o.set(CURLOPT_MAIL_FROM, from);
  o.set(CURLOPT_MAIL_RCPT, t->recipients.get());
  o.set(CURLOPT_UPLOAD, 1L);
  o.set(CURLOPT_READFUNCTION, read_message);
  o.set(CURLOPT_READDATA, static_cast<void*>(t.get()));
  o.set(CURLOPT_INFILESIZE, static_cast<long>(length));
  o.set(CURLOPT_TIMEOUT, timeout);
  o.set(CURLOPT_CONNECTTIMEOUT, timeout < kConnectTimeoutMax ? timeout : kConnectTimeoutMax);
  if (o.rc() == CURLE_OUT_OF_MEMORY) {
    err_set(err, "out of memory");
    return nullptr;
  }
  if (o.rc() != CURLE_OK) {
    err_set(err, "cannot set up the mail transfer: %s", curl_easy_strerror(o.rc()));
    return nullptr;
  }
  return t;
}

MailTransfer* mail_transfer_of(CURL* handle) {
  char* p = nullptr;
  if (handle == nullptr || curl_easy_getinfo(handle, CURLINFO_PRIVATE, &p) != CURLE_OK) {
    return nullptr;
  }
  return reinterpret_cast<MailTransfer*>(p);
}

int mail_transfer_result(const MailTransfer& transfer, CURLcode code, std::span<char> text) {
  err_set(text, "%s", "");
  if (code == CURLE_OK) {
    return 0;
  }
  const char* reason = transfer.error[0] != '\0' ? transfer.error : curl_easy_strerror(code);
  err_set(text, "%s (%s)", reason, transfer.url);
  for (char& c : text) {
    if (c == '\0') {
      break;
    }
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return -1;
}

}  // namespace vrk
