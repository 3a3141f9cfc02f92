#include "client/session.h"

#include <curl/curl.h>

#include "client/sign.h"
#include "common/error.h"
#include "common/secret_text.h"

namespace vrk {

ClientSession::~ClientSession() {
  secret_wipe(token);
}

int session_call(ClientSession& session, const ApiRequestParts& call, int64_t now,
                 ApiAnswer& answer, std::span<char> err) {
  err_set(err, "%s", "");
  char nonce[kApiNonceSize];
  if (sign_new_nonce(nonce) != 0) {
    err_set(err, "no random numbers for the request nonce");
    return -1;
  }
  SignRequest sr;
  sr.method = call.method;
  sr.path = call.path;
  sr.query = call.query;
  sr.body = reinterpret_cast<const uint8_t*>(call.body.data());
  sr.body_length = call.body.size();
  sr.if_match = call.if_match;
  char authorization[kSignAuthorizationSize];
  if (sign_authorization(session.token, sr, now, nonce, authorization) != 0) {
    err_set(err, "the request is too long to be signed");
    return -1;
  }
  std::string target = call.path;
  if (!call.query.empty()) {
    target += '?';
    target += call.query;
  }
  HttpRequest request;
  request.method = call.method;
  request.target = target;
  request.body = call.body;
  request.authorization = authorization;
  request.if_match = call.if_match;
  HttpReply reply;
  char http_err[kHttpErrSize];
  int rc = http_exchange(session.http, request, reply, http_err);
  if (rc != 0) {
    err_set(err, "%s", http_err);
    return -1;
  }
  const uint8_t* body = reinterpret_cast<const uint8_t*>(reply.body.data());
  bool success = reply.status >= 200 && reply.status <= 299;
  if (reply.signature_count > 1) {
    err_set(err, "%s %s: the answer carries %d signatures (answer refused)", call.method,
            call.path.c_str(), reply.signature_count);
    return -1;
  }
  if (reply.signature_count == 1 &&
      !sign_response_valid(session.token, nonce, static_cast<uint32_t>(reply.status), body,
                           reply.body.size(), reply.signature)) {
    err_set(err, "%s %s: the answer's signature does not verify (answer refused)", call.method,
            call.path.c_str());
    return -1;
  }
  if (reply.signature_count == 0 && success) {
    err_set(err, "%s %s: the answer is not signed (answer refused)", call.method,
            call.path.c_str());
    return -1;
  }
  answer.status = reply.status;
  answer.signed_answer = reply.signature_count == 1;
  answer.body = std::move(reply.body);
  answer.root.reset();
  answer.json = nullptr;
  char json_err[kApiJsonErrSize];
  JsonValue* root = nullptr;
  int parsed = json_parse(answer.body, kAnswerJsonMaxSize, kAnswerJsonMaxDepth,
                          kAnswerJsonMaxValues, root, json_err);
  answer.root.reset(root);
  answer.json = root;
  if (parsed != 0 && success) {
    err_set(err, "%s %s: the answer is no valid JSON (%s)", call.method, call.path.c_str(),
            json_err);
    return -1;
  }
  return 0;
}

bool session_path(std::initializer_list<std::string_view> segments, std::string& path) {
  path = "/api/v1";
  for (std::string_view seg : segments) {
    char* escaped = curl_easy_escape(nullptr, seg.data(), static_cast<int>(seg.size()));
    if (escaped == nullptr) {
      return false;
    }
    path += '/';
    path += escaped;
    curl_free(escaped);
  }
  return true;
}

}  // namespace vrk
